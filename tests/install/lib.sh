# Shared by the install tests: failure reporting, polling, a private session.
# Expects LUMORA_INSTALL_WORK (where the package test unpacked the .deb) in the environment.

set -eu

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The package as a user's machine would have it, unpacked by the package test.
package_root() {
    root="$LUMORA_INSTALL_WORK/root"
    [ -x "$root/usr/bin/lumora" ] || fail "no unpacked package in $root (run install_package first)"
    echo "$root"
}

# wait_for FILE PATTERN [SECONDS]: polls until FILE has a line matching the fixed PATTERN.
wait_for() {
    deadline=$(($(date +%s) + ${3:-60}))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "timed out waiting for '$2' in $1:
$(cat "$1" 2>/dev/null)"
        sleep 0.1
    done
}

count_of() { grep -cF -- "$2" "$1" 2>/dev/null || true; }

started_pids=""
private_tmp=""
cleanup() {
    for pid in $started_pids; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $started_pids; do
        wait "$pid" 2>/dev/null || true
    done
    [ -n "$private_tmp" ] || return 0
    # Services the bus started (the document portal, for one) may still hold a FUSE
    # mount in the runtime directory; detach it so the directory can go.
    awk -v dir="$private_tmp/" 'index($2, dir) == 1 { print $2 }' /proc/mounts |
        while read -r mount_point; do
            fusermount3 -u -z "$mount_point" 2>/dev/null || umount -l "$mount_point" 2>/dev/null || true
        done
    # Cleaning up is best effort: it never turns a passing test into a failing one.
    rm -rf "$private_tmp" 2>/dev/null || echo "note: could not remove $private_tmp" >&2
}
trap cleanup EXIT

# remember PID: stopped (by its id) when the test ends.
remember() { started_pids="$1 $started_pids"; }

# The id of the process that holds Lumora's name on the session bus, or nothing. xdg-open waits
# for the program it starts, so a test stops that program by this id rather than xdg-open's.
running_lumora() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetConnectionUnixProcessID org.lumora.Lumora 2>/dev/null |
        sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}

# Opens lumora-gift://x?g=CODE while no Lumora runs, waits until the program the link
# started has loaded its page (log in LOG), and sets $launched to its pid.
open_link_cold() {
    xdg-open "lumora-gift://x?g=$1" 2>"$2" &
    remember $!
    wait_for "$2" "[Lumora] page loaded"
    launched=$(running_lumora)
    [ -n "$launched" ] || fail "no program owns org.lumora.Lumora on the session bus"
    remember "$launched"
}

# Fails unless process PID runs the executable PATH.
expect_executable() {
    [ "$(readlink -f "/proc/$1/exe")" = "$2" ] ||
        fail "the link started $(readlink -f "/proc/$1/exe"), not $2"
}

# A home, XDG directories and a session bus of the test's own, so nothing the
# machine or other tests have registered is seen, and nothing leaks out.
private_session() {
    private_tmp=$(mktemp -d /tmp/lumora-install.XXXXXX)
    export HOME="$private_tmp/home"
    export XDG_DATA_HOME="$private_tmp/data" XDG_CONFIG_HOME="$private_tmp/config"
    export XDG_CACHE_HOME="$private_tmp/cache" XDG_STATE_HOME="$private_tmp/state"
    export XDG_RUNTIME_DIR="$private_tmp/runtime"
    mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    unset XDG_CURRENT_DESKTOP DESKTOP_SESSION GNOME_DESKTOP_SESSION_ID KDE_FULL_SESSION
    unset LUMORA_WEB_ROOT
    export GSETTINGS_BACKEND=memory GSK_RENDERER=cairo WEBKIT_DISABLE_COMPOSITING_MODE=1
    export NO_AT_BRIDGE=1
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
    dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" \
        >"$private_tmp/dbus.log" 2>&1 &
    remember $!
    deadline=$(($(date +%s) + 30))
    until gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetId >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "private bus did not start"
        sleep 0.05
    done
}

# Re-runs the calling script under its own X server when there is no display.
need_display() {
    if [ -z "${DISPLAY:-}" ]; then
        exec xvfb-run -a -s '-screen 0 1280x900x24' "$@"
    fi
}
