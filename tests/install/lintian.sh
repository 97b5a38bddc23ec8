#!/bin/bash
# Debian's package checker on the built package: no errors and no warnings.
. "$(dirname "$0")/lib.sh"

deb="$LUMORA_INSTALL_WORK/lumora.deb"
[ -f "$deb" ] || fail "no package at $deb (run install_package first)"
# Lintian warns about running as root, which CI does; the report is what matters.
lintian --fail-on error,warning --info "$(readlink -f "$deb")" 2>&1 |
    grep -v '^running with root privileges' | tee "$LUMORA_INSTALL_WORK/lintian.log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || fail "lintian found errors or warnings (exit $status)"
echo "lintian: clean"
