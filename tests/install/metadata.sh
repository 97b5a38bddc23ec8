#!/bin/bash
# The desktop entry, AppStream metadata, icons and man page as the package installs them.
. "$(dirname "$0")/lib.sh"

root=$(package_root)
share="$root/usr/share"
desktop="$share/applications/org.lumora.Lumora.desktop"
metainfo="$share/metainfo/org.lumora.Lumora.metainfo.xml"

desktop-file-validate "$desktop" || fail "desktop-file-validate reported errors"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate reported errors"

# The menu and the gift links depend on these exact values.
grep -qx 'Exec=lumora %u' "$desktop" || fail "desktop entry lacks 'Exec=lumora %u'"
grep -qx 'MimeType=\(.*;\)\?x-scheme-handler/lumora-gift;.*' "$desktop" ||
    fail "desktop entry does not claim x-scheme-handler/lumora-gift"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon named $icon"
[ -f "$share/icons/hicolor/256x256/apps/$icon.png" ] || fail "no 256 px icon named $icon"

python3 - "$metainfo" "$share" "$icon" "$LUMORA_VERSION" <<'PY'
import struct, sys, xml.etree.ElementTree as ET
metainfo, share, icon, version = sys.argv[1:]
problems = []
c = ET.parse(metainfo).getroot()
def text(path):
    node = c.find(path)
    return (node.text or '').strip() if node is not None else ''
if text('id') != 'org.lumora.Lumora':
    problems.append('component id is %r' % text('id'))
if text("launchable[@type='desktop-id']") != 'org.lumora.Lumora.desktop':
    problems.append('launchable does not name the installed desktop entry')
if not c.findall('description/p'):
    problems.append('no description paragraphs')
if not text('screenshots/screenshot/image').startswith('https://'):
    problems.append('no screenshot image')
rating = c.find('content_rating')
if rating is None or not rating.get('type', '').startswith('oars-'):
    problems.append('no OARS content rating')
releases = c.findall('releases/release')
if not releases or releases[0].get('version') != version:
    problems.append('newest release is not %s' % version)
if text("provides/mediatype") != 'x-scheme-handler/lumora-gift':
    problems.append('metainfo does not provide x-scheme-handler/lumora-gift')
with open('%s/icons/hicolor/256x256/apps/%s.png' % (share, icon), 'rb') as f:
    head = f.read(24)
if head[:8] != b'\x89PNG\r\n\x1a\n' or struct.unpack('>II', head[16:24]) != (256, 256):
    problems.append('256x256 icon is not a 256 x 256 PNG')
svg = ET.parse('%s/icons/hicolor/scalable/apps/%s.svg' % (share, icon)).getroot()
if svg.tag != '{http://www.w3.org/2000/svg}svg':
    problems.append('scalable icon is not SVG')
for p in problems:
    print('FAIL:', p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY

# One web domain: the metadata's links and the package's contacts use the one the page links to.
page_hosts=$(grep -rohE 'https://[a-zA-Z0-9.-]+|mailto:[^"?@]*@[a-zA-Z0-9.-]+' "$share/lumora/web" |
    sed 's#.*[/@]##' | sort -u)
[ -n "$page_hosts" ] || fail "the installed page links nowhere"
deb="$LUMORA_INSTALL_WORK/lumora.deb"
for place in "metainfo:$(grep -oE 'https://[a-zA-Z0-9.-]+' "$metainfo" | sed 's#.*/##' | sort -u)" \
    "Maintainer:$(dpkg-deb -f "$deb" Maintainer | sed -n 's/.*@\([^>]*\)>.*/\1/p')" \
    "copyright:$(sed -n 's/^Upstream-Contact:.*@\([^>]*\)>.*/\1/p' "$share/doc/lumora/copyright")"; do
    hosts=${place#*:}
    [ -n "$hosts" ] || fail "no web domain found in the ${place%%:*}"
    for host in $hosts; do
        grep -qxF "$host" <<<"$page_hosts" ||
            fail "the ${place%%:*} uses $host; the page links to $(tr "\n" " " <<<"$page_hosts")"
    done
done

# The man page renders without groff warnings (lintian runs the same check).
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$share/man/man1/lumora.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
grep -q "^\.TH LUMORA 1 .*Lumora ${LUMORA_VERSION}" <(zcat "$share/man/man1/lumora.1.gz") ||
    fail "man page does not carry version ${LUMORA_VERSION}"
echo "metadata: valid"
