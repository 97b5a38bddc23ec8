#!/bin/bash
# The package installed for real, as the README gives it (apt-get install ./lumora_*.deb), then
# the installed /usr/bin/lumora end to end: it finds its page under /usr/share/lumora/web, and
# xdg-open hands lumora-gift links to it through the system's desktop entry. The package is
# purged when the test ends. This changes the machine, so it runs only where
# LUMORA_SYSTEM_INSTALL_TEST=1 says the machine is there to be changed (CI's throwaway one).
. "$(dirname "$0")/lib.sh"

if [ "${LUMORA_SYSTEM_INSTALL_TEST:-0}" != 1 ]; then
    echo "SKIP: installs the package on this machine; set LUMORA_SYSTEM_INSTALL_TEST=1 to allow it"
    exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the package needs root"
    exit 77
fi
status=$(dpkg-query -W -f='${db:Status-Status}' lumora 2>/dev/null || true)
if [ -n "$status" ] && [ "$status" != not-installed ]; then
    echo "SKIP: a lumora package is already on this machine ($status); it is not this test's to replace"
    exit 77
fi
need_display "$0" "$@"

pkg_dir=$(dirname "$(readlink -f "$LUMORA_INSTALL_WORK/lumora.deb")")
[ -d "$pkg_dir" ] || fail "no package in $LUMORA_INSTALL_WORK (run install_package first)"
apt_log="$LUMORA_INSTALL_WORK/system-apt.log"

export DEBIAN_FRONTEND=noninteractive
installed_here=0
purge() {
    cleanup
    [ "$installed_here" = 1 ] || return 0
    # An install that failed before dpkg knew the package leaves nothing to purge.
    [ -n "$(dpkg-query -W -f='${db:Status-Status}' lumora 2>/dev/null || true)" ] || return 0
    if ! apt-get purge -y -q lumora >>"$apt_log" 2>&1; then
        echo "FAIL: apt-get purge lumora failed: $(tail -n 20 "$apt_log")" >&2
        exit 1
    fi
    left=$(dpkg-query -W -f='${db:Status-Status}' lumora 2>/dev/null || true)
    if [ -n "$left" ] && [ "$left" != not-installed ] || [ -e /usr/bin/lumora ]; then
        echo "FAIL: lumora is still on the machine after the purge ($left)" >&2
        exit 1
    fi
}
trap purge EXIT

# Everything the package depends on is already here, so nothing is fetched: a dependency
# that is not fails the test rather than reaching for the network.
apt-get install --simulate -q "$pkg_dir"/lumora_*.deb >"$apt_log" 2>&1 ||
    fail "apt-get cannot install the package: $(cat "$apt_log")"
others=$(awk '$1 == "Inst" && $2 != "lumora" { print $2 }' "$apt_log")
[ -z "$others" ] || fail "installing would fetch packages this machine lacks: $others"
installed_here=1
apt-get install -y -q "$pkg_dir"/lumora_*.deb >"$apt_log" 2>&1 ||
    fail "apt-get install failed: $(cat "$apt_log")"
[ "$(dpkg-query -W -f='${db:Status-Status} ${Version}' lumora)" = "installed ${LUMORA_VERSION}-1" ] ||
    fail "after apt-get install: $(dpkg-query -W -f='${db:Status-Status} ${Version}' lumora)"
for file in /usr/bin/lumora /usr/share/lumora/web/index.html \
    /usr/share/applications/org.lumora.Lumora.desktop; do
    dpkg -S "$file" 2>/dev/null | grep -q '^lumora: ' || fail "lumora does not own $file"
done

private_session
probe="$(cd "$(dirname "$0")" && pwd)/probe"
logs="$private_tmp/logs"
mkdir -p "$logs"
# The machine's own data directories and PATH, as a user's session has them.
unset XDG_DATA_DIRS
[ "$(command -v lumora)" = /usr/bin/lumora ] || fail "lumora on PATH is $(command -v lumora)"
# The package's install has indexed the entry's MIME types (the desktop-file trigger).
handler=$(xdg-mime query default x-scheme-handler/lumora-gift)
[ "$handler" = org.lumora.Lumora.desktop ] || fail "lumora-gift links go to '$handler'"

# 1. Started as the menu would, it serves the installed page; a link opened meanwhile goes
#    through the desktop entry to this window, and the launch that carried it exits.
lumora 2>"$logs/plain" &
pid=$!
remember $pid
wait_for "$logs/plain" "[Lumora] page loaded"
! grep -qF "load failed" "$logs/plain" || fail "the installed page failed to load: $(cat "$logs/plain")"
[ "$(readlink -f "/proc/$pid/exe")" = /usr/bin/lumora ] || fail "the program running is not /usr/bin/lumora"
timeout 60 xdg-open 'lumora-gift://x?g=abc' 2>"$logs/second" ||
    fail "the link's launch did not hand over and exit: $(cat "$logs/second")"
wait_for "$logs/plain" "[Lumora] gift received (3 chars)"
kill $pid
wait $pid || true

# 2. With no window open, a link starts the program through the entry and its code reaches the
#    page (the probe, which reports what it is given).
export LUMORA_WEB_ROOT="$probe"
open_link_cold fresh "$logs/gift"
expect_executable "$launched" /usr/bin/lumora
wait_for "$logs/gift" "page: probe gift fresh"
echo "system install: installed with apt-get, page found, gift links delivered; purging"
