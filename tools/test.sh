#!/bin/sh
# Builds Lumora and runs every test: tools/test.sh [--sanitize] [ctest arguments]
# Starts what the tests need itself: an X server (Xvfb) and a private D-Bus session
# bus. Tests that need more (PulseAudio, systemd --user, dunst) start their own.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="${LUMORA_BUILD_DIR:-$root/build}"
flags="-DCMAKE_BUILD_TYPE=RelWithDebInfo"
# CI builds with warnings as errors (LUMORA_WERROR=1).
werror="-DLUMORA_WERROR=${LUMORA_WERROR:-0}"
if [ "${1:-}" = "--sanitize" ]; then
  shift
  build="${LUMORA_BUILD_DIR:-$root/build}-sanitize"
  flags="-DCMAKE_BUILD_TYPE=Debug -DLUMORA_SANITIZE=ON -DLUMORA_BUILD_BENCH=OFF"
  # GTK, WebKit and fontconfig keep caches for the whole process lifetime, which
  # LeakSanitizer would report in every test; the fuzzers check leaks with suppressions.
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
"$root/tools/deps.sh"
cmake -S "$root" -B "$build" $flags $werror >/dev/null
cmake --build "$build" -j"$(nproc)"
export GSK_RENDERER=cairo WEBKIT_DISABLE_COMPOSITING_MODE=1 NO_AT_BRIDGE=1
export LUMORA_TEST_ARTIFACTS="$build/artifacts"
mkdir -p "$LUMORA_TEST_ARTIFACTS"
cd "$build"
log="$build/ctest-output.log"
status=0
xvfb-run -a -s '-screen 0 1280x900x24' \
  dbus-run-session -- ctest --output-on-failure --timeout 600 -j2 "$@" 2>&1 | tee "$log" ||
  status=1
grep -q '^100% tests passed' "$log" || status=1
# CI sets LUMORA_FAIL_ON_SKIP=1: it has the whole rig, so a skipped test there means a
# broken rig rather than a machine that lacks something.
if [ "${LUMORA_FAIL_ON_SKIP:-0}" = 1 ] && grep -q '(Skipped)$' "$log"; then
  echo "tests were skipped, which CI does not allow:" >&2
  grep '(Skipped)$' "$log" >&2
  status=1
fi
exit $status
