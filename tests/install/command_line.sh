#!/bin/bash
# The installed program's command line: help, version, usage errors, a missing page.
. "$(dirname "$0")/lib.sh"

root=$(package_root)
lumora="$root/usr/bin/lumora"
out=$(mktemp -d)
private_tmp="$out"

# --help lists every option, and the man page documents each one it lists.
"$lumora" --help >"$out/help" 2>"$out/err" || fail "--help exited $?"
[ ! -s "$out/err" ] || fail "--help wrote to stderr: $(cat "$out/err")"
for option in --web-root --inspector --remind --version --help; do
    grep -qe "$option" "$out/help" || fail "--help does not list $option"
done
zcat "$root/usr/share/man/man1/lumora.1.gz" >"$out/man"
for option in $(grep -o -e '--[a-z][a-z-]*' "$out/help" | sort -u); do
    grep -qF -- "$(echo "$option" | sed 's/-/\\-/g')" "$out/man" ||
        fail "man page does not document $option"
done

version=$("$lumora" --version) || fail "--version exited $?"
[ "$version" = "lumora ${LUMORA_VERSION}" ] || fail "--version printed '$version'"

# Usage errors: one line on stderr, nothing on stdout, exit status 2.
usage_error() {
    set +e
    "$lumora" "$@" >"$out/stdout" 2>"$out/stderr"
    status=$?
    set -e
    [ "$status" -eq 2 ] || fail "lumora $* exited $status, expected 2"
    [ ! -s "$out/stdout" ] || fail "lumora $* wrote to stdout: $(cat "$out/stdout")"
    [ "$(wc -l <"$out/stderr")" -eq 1 ] || fail "lumora $* did not write one line: $(cat "$out/stderr")"
}
usage_error --bogus
grep -qF -- '--bogus' "$out/stderr" || fail "the error does not name --bogus: $(cat "$out/stderr")"
usage_error -x
usage_error --remind --frobnicate
usage_error --web-root

# A page directory that is not there: a clear message naming it, exit status 1, no window.
cp -a "$root" "$out/broken"
rm -rf "$out/broken/usr/share/lumora/web"
set +e
env -u LUMORA_WEB_ROOT -u DISPLAY -u WAYLAND_DISPLAY "$out/broken/usr/bin/lumora" >"$out/stdout" 2>"$out/stderr"
status=$?
set -e
[ "$status" -eq 1 ] || fail "a missing page gave exit $status: $(cat "$out/stderr")"
grep -qF "$out/broken/usr/bin/../share/lumora/web" "$out/stderr" ||
    fail "the message does not name the installed page's directory: $(cat "$out/stderr")"
set +e
"$lumora" --web-root "$out/nowhere" >"$out/stdout" 2>"$out/stderr"
status=$?
set -e
[ "$status" -eq 1 ] || fail "--web-root to a missing directory gave exit $status"
grep -qF "$out/nowhere" "$out/stderr" || fail "the message does not name $out/nowhere"
echo "command line: as documented"
