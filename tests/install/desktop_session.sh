#!/bin/bash
# The installed program in a desktop session of its own: it finds its installed page, and a
# lumora-gift link opened with xdg-open reaches the page through the installed desktop entry,
# both when that launches the program and when it is already running.
. "$(dirname "$0")/lib.sh"
need_display "$0" "$@"

root=$(package_root)
private_session
probe="$(cd "$(dirname "$0")" && pwd)/probe"
logs="$private_tmp/logs"
mkdir -p "$logs"

# As on a machine with the package installed: its share/ is a data directory, its bin/
# is on PATH, and the desktop-file trigger has indexed the entry's MIME types.
export XDG_DATA_DIRS="$root/usr/share:/usr/share"
export PATH="$root/usr/bin:$PATH"
update-desktop-database "$root/usr/share/applications"
handler=$(xdg-mime query default x-scheme-handler/lumora-gift)
[ "$handler" = org.lumora.Lumora.desktop ] || fail "lumora-gift links go to '$handler'"

# 1. A plain launch serves the installed page.
lumora 2>"$logs/plain" &
pid=$!
remember $pid
wait_for "$logs/plain" "[Lumora] page loaded"
! grep -qF "load failed" "$logs/plain" || fail "the page failed to load: $(cat "$logs/plain")"
kill $pid
wait $pid || true

# 2. A link opened while Lumora is not running starts it through the desktop entry; the code
#    waits for the page and arrives once.
export LUMORA_WEB_ROOT="$probe"
open_link_cold abc "$logs/gift"
wait_for "$logs/gift" "[Lumora] gift received (3 chars)"
wait_for "$logs/gift" "page: probe gift abc"

# 3. A second link goes to the running instance: the launch it causes hands the link over
#    and exits, so xdg-open returns while the first window stays.
timeout 60 xdg-open 'lumora-gift://x?g=second_2' 2>"$logs/second" ||
    fail "the second launch did not hand over and exit: $(cat "$logs/second")"
wait_for "$logs/gift" "page: probe gift second_2"
[ "$(count_of "$logs/gift" "page: probe gift abc")" -eq 1 ] || fail "the first code arrived twice"
[ "$(count_of "$logs/gift" "[Lumora] page loaded")" -eq 1 ] ||
    fail "the running instance loaded its page again: $(cat "$logs/gift")"
! grep -qF "[Lumora]" "$logs/second" || fail "the second launch ran a window of its own"
echo "desktop session: page found, gift links delivered"
