#!/bin/sh
# Every C++ file of the repository is formatted as .clang-format says.
#   tools/check_format.sh            lists the files that differ; fails if there are any
set -eu
cd "$(dirname "$0")/.."
status=0
for file in $(git ls-files '*.cpp' '*.hpp' '*.h' 2>/dev/null || find app container store audio docs notify tests bench fuzz -name '*.[ch]pp'); do
  if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
    echo "not formatted: $file (clang-format -i $file)"
    status=1
  fi
done
[ $status -eq 0 ] && echo "format: every C++ file follows .clang-format"
exit $status
