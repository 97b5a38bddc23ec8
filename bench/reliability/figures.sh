#!/bin/sh
# Measures every reliability figure and writes them as a table into README.md, between
# the "reliability-figures" markers:
#   bench/reliability/figures.sh [--no-readme]
# Uses the build directories of tools/test.sh ($LUMORA_BUILD_DIR, default build/, and its
# -sanitize twin, or $LUMORA_SANITIZE_BUILD_DIR, for the leak-checked churn run when that
# exists) and fuzz/run-fuzzers.sh.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="${LUMORA_BUILD_DIR:-$root/build}"
sanitized="${LUMORA_SANITIZE_BUILD_DIR:-$build-sanitize}"
seconds="${LUMORA_FUZZ_SECONDS:-10}"
write_readme=1
[ "${1:-}" = "--no-readme" ] && write_readme=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rows="$work/rows"
: >"$rows"
row() { printf '| %s | %s |\n' "$1" "$2" >>"$rows"; }

export GSK_RENDERER=cairo WEBKIT_DISABLE_COMPOSITING_MODE=1 NO_AT_BRIDGE=1
session() { xvfb-run -a -s '-screen 0 1280x900x24' dbus-run-session -- "$@"; }

cmake --build "$build" -j"$(nproc)" >/dev/null

# 1. Fuzzing: runs per target in a fixed time each (LUMORA_FUZZ_SECONDS=0 leaves it out).
if [ "$seconds" != 0 ]; then
  LUMORA_FUZZ_SECONDS="$seconds" "$root/fuzz/run-fuzzers.sh" >"$work/fuzz.log" 2>&1 ||
    { cat "$work/fuzz.log"; exit 1; }
  summary="${LUMORA_FUZZ_BUILD_DIR:-$root/build-fuzz}/fuzz-summary.txt"
  while read -r name runs cov secs status; do
    result=$([ "$status" = 0 ] && echo "no findings" || echo "FAILED")
    row "fuzz: $name" "$runs runs in $secs s, $cov coverage points, $result"
  done <"$summary"
fi

# 2. The crash and fault tests print their figures; ctest -V shows them.
figures() { # figures BUILD_DIR REGEX
  (cd "$1" && session ctest -V -R "$2") >"$work/ctest.log" 2>&1 ||
    { grep -E "Failed|FAIL" "$work/ctest.log" | head -20 >&2; exit 1; }
  sed -n 's/^[0-9]*: //p' "$work/ctest.log" | grep -E \
    '^(kill-during-save figures|full-disk figures|web-process churn|hostile page|hostile bus [a-z]+):' |
    sort -u | while IFS= read -r line; do
      row "${line%%:*}" "${line#*: }"
    done
}
figures "$build" '^(KillDuringSave|FullDisk|HostilePage|HostileBusClient)\.'
if [ -d "$sanitized" ]; then
  cmake --build "$sanitized" -j"$(nproc)" --target web_churn_tests >/dev/null
  (export ASAN_OPTIONS="abort_on_error=1" UBSAN_OPTIONS="halt_on_error=1"
    figures "$sanitized" '^WebProcessChurn\.')
else
  figures "$build" '^WebProcessChurn\.'
fi

# 3. Main-loop latency under load: the 1 ms probe inside, Position over D-Bus outside.
dbus-run-session -- "$build/bench/reliability/bench_latency" >"$work/latency.log" 2>/dev/null
latency() { # latency PHASE PROBE
  awk -v phase="$1" -v probe="$2" '$1 == phase && $2 == probe {
    printf "p50 %s ms, p99 %s ms, max %s ms", $4, $5, $6 }' "$work/latency.log"
}
row "main loop, idle (1 ms probe)" "$(latency idle internal)"
row "main loop, idle (D-Bus Position every 5 ms)" "$(latency idle external)"
row "main loop, chunks + saves + PDF (1 ms probe)" "$(latency loaded internal)"
row "main loop, chunks + saves + PDF (D-Bus Position every 5 ms)" "$(latency loaded external)"
grep -E '^(PDF|chunk|save) ' "$work/latency.log" | while IFS= read -r line; do
  row "main-thread block" "$line"
done
row "latency goal" "$(sed -n 's/^goal //p' "$work/latency.log")"

table="$work/table"
{
  echo "<!-- reliability-figures:begin (bench/reliability/figures.sh writes this table) -->"
  echo "Measured on $(date -u +%Y-%m-%d), $(nproc) cores."
  echo
  echo "| What | Figure |"
  echo "|---|---|"
  cat "$rows"
  echo "<!-- reliability-figures:end -->"
} >"$table"
cat "$table"
if [ "$write_readme" = 1 ]; then
  readme="$root/README.md"
  if grep -q 'reliability-figures:begin' "$readme"; then
    awk -v table="$table" '
      /reliability-figures:begin/ { while ((getline line < table) > 0) print line; skip = 1; next }
      /reliability-figures:end/ { skip = 0; next }
      !skip { print }' "$readme" >"$work/readme" && cat "$work/readme" >"$readme"
  else
    { echo; echo "## Reliability figures"; echo; cat "$table"; } >>"$readme"
  fi
fi
