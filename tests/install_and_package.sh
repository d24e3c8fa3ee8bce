#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks the menu entry and the
# AppStream metadata with the desktop's own validators, then builds the Debian
# package and lists what it holds and what it depends on.
#   install_and_package.sh BUILD_DIR
set -euo pipefail
build="$1"
for tool in desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps cpack apt; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
id=io.github.duplon.Duplon

cmake --install "$build" --prefix "$work/usr" >/dev/null
share="$work/usr/share"
test -x "$work/usr/bin/duplon"
desktop-file-validate "$share/applications/$id.desktop"
# A folder may be handed to it, but it claims no type: never the folders' handler.
grep -qx 'Exec=duplon %f' "$share/applications/$id.desktop" && ! grep -q '^MimeType=' "$share/applications/$id.desktop"
appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml"
test -s "$share/icons/hicolor/scalable/apps/$id.svg"
for size in 16 22 24 32 48 64 128 256; do
    png="$share/icons/hicolor/${size}x${size}/apps/$id.png"
    # The width and height stand at bytes 16-23 of a PNG's header.
    read -r width height < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    if [ "$width" != "$size" ] || [ "$height" != "$size" ]; then
        echo "FAIL: $png is ${width}x${height}"
        exit 1
    fi
done
"$work/usr/bin/duplon" --version | grep -q '^Duplon '
rc=0; said="$("$work/usr/bin/duplon" one two 2>&1)" || rc=$? # extra arguments: one line naming them, status 2
[ "$rc" = 2 ] && [ "$(wc -l <<<"$said")" = 1 ] && grep -q '"two"' <<<"$said" || { echo "FAIL: $rc, $said"; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null)
deb="$(ls "$work"/package/duplon_*.deb)"
echo "== $(basename "$deb")"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends
dpkg-deb -c "$deb"
contents="$(dpkg-deb -c "$deb")"
for f in ./usr/bin/duplon ./usr/share/applications/$id.desktop ./usr/share/metainfo/$id.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/$id.svg ./usr/share/icons/hicolor/48x48/apps/$id.png \
         ./usr/share/man/man1/duplon.1.gz ./usr/share/doc/duplon/copyright ./usr/share/doc/duplon/changelog.gz \
         ./usr/share/doc/duplon/README.md ./usr/share/doc/duplon/docs/rescue.md; do
    grep -q " $f\$" <<<"$contents" || { echo "FAIL: $f is not in the package"; exit 1; }
done
dpkg-deb -f "$deb" Recommends | grep -q qt6-wayland || { echo "FAIL: qt6-wayland is not recommended"; exit 1; }
depends="$(dpkg-deb -f "$deb" Depends)"
for d in libqt6widgets6 libqt6dbus6 libc6 qt6-qpa-plugins; do
    grep -q "$d" <<<"$depends" || { echo "FAIL: the package does not depend on $d"; exit 1; }
done
# The descriptions: apt shows the summary, then two paragraphs of prose (no
# line indented further, shown preformatted), never the summary again; the
# software centre's is prose of its own too.
shown="$(apt show "$deb" 2>/dev/null | sed -n '/^Description:/,/^$/p')"
body="$(tail -n +2 <<<"$shown")"
grep -qx ' \.' <<<"$body" && ! grep -q '^  ' <<<"$body" && ! grep -qiF "$(head -1 <<<"$shown" | cut -c14-)" <<<"$body" \
    && [ "$(grep -c '<p>' "$share/metainfo/$id.metainfo.xml")" -ge 2 ] || { echo "FAIL: the descriptions: $shown"; exit 1; }
# Debian's own checker: no error, and no override file to hide one.
! command -v lintian >/dev/null || lintian --fail-on error --allow-root "$deb" || { echo "FAIL: lintian reports errors"; exit 1; }
echo "installed, validated and packaged"
