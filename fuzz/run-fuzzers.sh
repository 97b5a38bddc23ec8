#!/bin/sh
# A short, time-boxed libFuzzer run of every fuzz target:
#   fuzz/run-fuzzers.sh [seconds per target]     (default 20, or $LUMORA_FUZZ_SECONDS)
# Builds the clang fuzz build in $LUMORA_FUZZ_BUILD_DIR (default build-fuzz). New inputs
# go to a scratch corpus, so the stored seeds stay as they are; a crash leaves its input
# in <build>/findings/ and makes the script fail. Without clang-14 it skips.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-${LUMORA_FUZZ_SECONDS:-20}}"
build="${LUMORA_FUZZ_BUILD_DIR:-$root/build-fuzz}"
if ! command -v clang++-14 >/dev/null 2>&1 || [ ! -d /usr/lib/llvm-14/lib/clang ]; then
  echo "fuzz: clang-14 with libFuzzer is not installed; skipped"
  exit 0
fi
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_FUZZ=ON -DLUMORA_BUILD_TESTS=OFF \
  -DLUMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_targets
mkdir -p "$build/findings"
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:${LSAN_OPTIONS:-}"
summary="$build/fuzz-summary.txt"
: >"$summary"
failed=0
for seeds in "$root"/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  binary="$build/fuzz/fuzz_$name"
  [ -x "$binary" ] || continue
  scratch=$(mktemp -d)
  log="$build/findings/$name.log"
  status=0
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" "$scratch" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  rm -rf "$scratch"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "fuzz: $name FAILED (status $status); see $log"
    tail -n 40 "$log"
  else
    echo "fuzz: $name ok, ${runs:-?} runs in ${seconds} s, ${cov:-?} coverage points"
  fi
  echo "$name ${runs:-0} ${cov:-0} $seconds $status" >>"$summary"
done
exit "$failed"
