#!/bin/bash
# Builds the Debian package from the build tree and unpacks it for the other install tests.
. "$(dirname "$0")/lib.sh"

build="$LUMORA_BUILD_DIR"
work="$LUMORA_INSTALL_WORK"
rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"

arch=$(dpkg --print-architecture)
deb="$work/pkg/lumora_${LUMORA_VERSION}-1_${arch}.deb"
[ -f "$deb" ] || fail "expected $deb; cpack made: $(ls "$work/pkg")"
ln -s "$deb" "$work/lumora.deb"
dpkg-deb -x "$deb" "$work/root"
root="$work/root"

# Version agrees with the project and with the changelog shipped in the package.
version=$(dpkg-deb -f "$deb" Version)
[ "$version" = "${LUMORA_VERSION}-1" ] || fail "package version $version, project ${LUMORA_VERSION}"
logged=$(zcat "$root/usr/share/doc/lumora/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version)
[ "$logged" = "$version" ] || fail "changelog's newest entry is $logged, package is $version"

for file in usr/bin/lumora usr/share/lumora/web/index.html \
    usr/share/applications/org.lumora.Lumora.desktop \
    usr/share/metainfo/org.lumora.Lumora.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/org.lumora.Lumora.svg \
    usr/share/icons/hicolor/256x256/apps/org.lumora.Lumora.png \
    usr/share/man/man1/lumora.1.gz usr/share/doc/lumora/copyright; do
    [ -s "$root/$file" ] || fail "package lacks /$file"
done

# Every library the program loads must come from a package named in Depends, or a
# fresh machine would install it without them.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
depended=$(echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//' | tr '\n' ' ')
for lib in $(objdump -p "$root/usr/bin/lumora" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(ldconfig -p | awk -v lib="$lib" '$1 == lib { print $NF; exit }')
    [ -n "$path" ] || fail "cannot find $lib on this machine"
    owner=$(dpkg -S "$path" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -n "$owner" ] || owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -n "$owner" ] || fail "no package owns $path"
    case " $depended " in
    *" $owner "*) ;;
    *) fail "$lib comes from $owner, which Depends does not name" ;;
    esac
done
# What no library shows: the fonts the page and the PDF export ask for.
for pkg in fonts-cantarell fonts-dejavu-core; do
    case " $depended " in *" $pkg "*) ;; *) fail "Depends lacks $pkg" ;; esac
done

# apt must be able to satisfy those Depends: a misspelt or unknown package name fails here.
apt-get install --simulate -q "$deb" >"$work/apt.log" 2>&1 ||
    fail "apt-get cannot install the package: $(cat "$work/apt.log")"
grep -q '^Inst lumora ' "$work/apt.log" || fail "apt-get would not install lumora: $(cat "$work/apt.log")"
echo "built $deb ($(stat -c %s "$deb") bytes)"
