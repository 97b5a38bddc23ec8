#!/bin/sh
# Builds Lumora and runs it: tools/run.sh [lumora options]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target lumora -j"$(nproc)"
exec "$root/build/app/lumora" "$@"
