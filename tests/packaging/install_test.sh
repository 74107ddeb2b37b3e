#!/usr/bin/env bash
# Installs the build into a temporary prefix, as a package would, and checks
# what a desktop finds there, with the desktop's own validators.
#     install_test.sh BUILD_DIR VERSION APP_ID
set -euo pipefail
build=$1 version=$2 id=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null

for program in vellumark vellumark-cli; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
[ "$("$prefix/bin/vellumark-cli" --text abc)" = "MD5 900150983CD24FB0D6963F7D28E17F72" ] ||
  fail "the installed vellumark-cli does not run"

desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" >/dev/null || { appstreamcli validate --no-net "$metainfo"; fail "appstreamcli validate"; }

# The entry starts the installed program and names the installed icon.
key() { sed -n "s/^$1=//p" "$desktop"; }
[ -x "$prefix/bin/$(key Exec | cut -d' ' -f1)" ] || fail "Exec=$(key Exec) is not an installed program"
[ "$(key Icon)" = "$id" ] || fail "Icon=$(key Icon), not $id"
[ "$(key StartupNotify)" = true ] || fail "StartupNotify is not true"
[ -n "$(key Keywords)" ] && [ -n "$(key Categories)" ] || fail "Keywords or Categories missing"
icons=$prefix/share/icons/hicolor
grep -q '<svg' "$icons/scalable/apps/$id.svg" || fail "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
  png=$icons/${size}x${size}/apps/$id.png
  file "$png" | grep -q "PNG image data, $size x $size," || fail "no ${size}x${size} icon: $(file "$png")"
done

# The metadata belongs to the entry and to this release.
grep -q "<id>$id</id>" "$metainfo" || fail "metainfo id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "metainfo launchable"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo names no release $version"
grep -q "<screenshot type=\"default\">" "$metainfo" || fail "metainfo shows no screenshot"
grep -q "<description>" "$metainfo" || fail "metainfo has no description"

man=$prefix/share/man/man1/vellumark-cli.1.gz
gzip -t "$man" || fail "the manual page is not gzip"
zcat "$man" | grep -q '^\.TH VELLUMARK-CLI 1 ' || fail "the manual page is not in section 1"

# Nothing else is installed: no tests, benchmarks, libraries or headers.
expected=$(printf '%s\n' bin/vellumark bin/vellumark-cli "share/applications/$id.desktop" \
  "share/metainfo/$id.metainfo.xml" share/man/man1/vellumark-cli.1.gz "share/icons/hicolor/scalable/apps/$id.svg" \
  $(for size in 16 22 24 32 48 64 128 256; do echo "share/icons/hicolor/${size}x${size}/apps/$id.png"; done) | sort)
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ: $(diff <(echo "$expected") <(echo "$actual") || true)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed tree in order"
