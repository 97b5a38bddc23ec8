#!/bin/bash
# A user install, as the README gives it: cmake --install into a prefix of the user's own (here
# a temporary one standing in for ~/.local), then update-desktop-database. The program finds
# its page next to itself wherever the prefix is, and lumora-gift links reach it.
. "$(dirname "$0")/lib.sh"
need_display "$0" "$@"

private_session
probe="$(cd "$(dirname "$0")" && pwd)/probe"
logs="$private_tmp/logs"
mkdir -p "$logs"
prefix="$private_tmp/local"
cmake --install "$LUMORA_BUILD_DIR" --prefix "$prefix" >"$logs/install" 2>&1 ||
    fail "cmake --install failed: $(cat "$logs/install")"

for file in bin/lumora share/lumora/web/index.html \
    share/applications/org.lumora.Lumora.desktop \
    share/metainfo/org.lumora.Lumora.metainfo.xml \
    share/icons/hicolor/scalable/apps/org.lumora.Lumora.svg \
    share/icons/hicolor/256x256/apps/org.lumora.Lumora.png \
    share/man/man1/lumora.1.gz; do
    [ -s "$prefix/$file" ] || fail "the install lacks <prefix>/$file: $(cat "$logs/install")"
done
[ -x "$prefix/bin/lumora" ] || fail "<prefix>/bin/lumora is not executable"
# Everything lands under the prefix: nothing the install wrote points elsewhere.
outside=$(sed -n 's/^-- \(Installing\|Up-to-date\): //p' "$logs/install" | grep -vF -- "$prefix/" || true)
[ -z "$outside" ] || fail "files installed outside the prefix: $outside"

# The prefix's share/ is the user's data directory, as ~/.local/share is.
export XDG_DATA_HOME="$prefix/share"

# 1. Run by its full path, with nothing on PATH or in the environment pointing at it: the page
#    comes from <prefix>/share/lumora/web.
"$prefix/bin/lumora" 2>"$logs/plain" &
pid=$!
remember $pid
wait_for "$logs/plain" "[Lumora] page loaded"
! grep -qF "load failed" "$logs/plain" || fail "the page failed to load: $(cat "$logs/plain")"
kill $pid
wait $pid || true

# 2. The same install moved elsewhere, its page replaced by the probe: a code given on the
#    command line reaches the probe, so the page served is the one beside the executable and
#    not a path fixed when it was built.
moved="$private_tmp/moved"
cp -a "$prefix" "$moved"
rm -rf "$moved/share/lumora/web"
cp -a "$probe" "$moved/share/lumora/web"
"$moved/bin/lumora" 'lumora-gift://x?g=moved' 2>"$logs/moved" &
pid=$!
remember $pid
wait_for "$logs/moved" "page: probe gift moved"
kill $pid
wait $pid || true

# 3. After update-desktop-database, with <prefix>/bin on PATH, xdg-open hands lumora-gift links
#    to the installed entry, which starts the program and delivers the code to its page.
update-desktop-database "$prefix/share/applications"
export PATH="$prefix/bin:$PATH"
handler=$(xdg-mime query default x-scheme-handler/lumora-gift)
[ "$handler" = org.lumora.Lumora.desktop ] || fail "lumora-gift links go to '$handler'"
export LUMORA_WEB_ROOT="$probe"
open_link_cold abc "$logs/gift"
expect_executable "$launched" "$prefix/bin/lumora"
wait_for "$logs/gift" "page: probe gift abc"
echo "prefix install: layout complete, page found beside the program, gift links delivered"
