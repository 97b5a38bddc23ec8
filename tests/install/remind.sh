#!/bin/bash
# The installed program's --remind, as the reminder's timer runs it: one notification on the
# session's notification service (a real dunst on a private bus), then exit.
. "$(dirname "$0")/lib.sh"
need_display "$0" "$@"

root=$(package_root)
private_session
export XDG_DATA_DIRS="$root/usr/share:/usr/share"
mkdir -p "$XDG_CONFIG_HOME/dunst"
: >"$XDG_CONFIG_HOME/dunst/dunstrc"
dunst >"$private_tmp/dunst.log" 2>&1 &
remember $!
timeout 30 gdbus wait --session org.freedesktop.Notifications || fail "dunst did not start"

# --remind stays until its notification is closed, so it runs beside the checks.
timeout 120 "$root/usr/bin/lumora" --remind >"$private_tmp/remind.log" 2>&1 &
remind=$!
deadline=$(($(date +%s) + 60))
until [ "$(dunstctl count displayed)" -ge 1 ] || [ "$(dunstctl count waiting)" -ge 1 ] ||
    [ "$(dunstctl count history)" -ge 1 ]; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "no notification arrived: $(cat "$private_tmp/remind.log")"
    sleep 0.2
done
# Closing moves it into the history, where its text can be read, and lets --remind exit.
dunstctl close-all
deadline=$(($(date +%s) + 10))
until dunstctl history | grep -qF "Time to polish my lumora"; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "the notification is not the reminder: $(dunstctl history)"
    sleep 0.1
done
wait "$remind" || fail "lumora --remind exited $?: $(cat "$private_tmp/remind.log")"
echo "remind: notification shown"
