#!/bin/sh
# Every quoted include in the program's own folders names a header of its own layer or
# one below it, from the source root: no "../", no absolute paths.
#   check_includes.sh <source root>
set -eu
root=$1
status=0
check() {
  folder=$1
  allowed=$2
  for file in $(find "$root/$folder" -name '*.[ch]pp' | sort); do
    case "$folder" in container) case "$file" in "$root/container/base/"*) continue ;; esac ;; esac
    grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" | while IFS= read -r line; do
      header=$(printf '%s\n' "$line" | sed 's/^[^"]*"\([^"]*\)".*/\1/')
      ok=no
      for prefix in $allowed; do
        case "$header" in "$prefix"*) ok=yes ;; esac
      done
      case "$header" in *..*|/*) ok=no ;; esac
      if [ $ok = no ]; then
        echo "${file#"$root"/}:${line%%:*}: includes \"$header\", outside $allowed"
      fi
    done
  done
}
out=$(
  check container/base "container/base/"
  check container "container/"
  check store "container/ store/"
  check audio "container/ audio/"
  check docs "container/ docs/"
  check notify "container/ notify/"
  check app "container/ store/ audio/ docs/ notify/ app/"
)
if [ -n "$out" ]; then
  printf '%s\n' "$out"
  status=1
else
  echo "layering: every include points down or within its layer"
fi
exit $status
