#!/usr/bin/env bash
# Installs the build into a temporary prefix, as a package would, and checks
# what a desktop finds there, with the desktop's own validators.
#     install_test.sh BUILD_DIR VERSION APP_ID [MODULES]
# MODULES lists the file managers' modules that are built, separated by ";",
# each as MANAGER=PATH below the prefix.
set -euo pipefail
build=$1 version=$2 id=$3 modules=${4:-}
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
[ -x "$prefix/bin/$(key TryExec)" ] || fail "TryExec=$(key TryExec) is not an installed program"
[ "$(key Icon)" = "$id" ] || fail "Icon=$(key Icon), not $id"
[ "$(key StartupNotify)" = true ] || fail "StartupNotify is not true"
# A launcher or a file manager hands it the files they open with it.
[[ "$(key Exec)" =~ ^vellumark\ %[fF]$ ]] || fail "Exec=$(key Exec) takes no file"
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

for page in vellumark vellumark-cli; do
  man=$prefix/share/man/man1/$page.1.gz
  gzip -t "$man" || fail "the manual page of $page is not gzip"
  zcat "$man" | grep -q "^\.TH ${page^^} 1 " || fail "the manual page of $page is not in section 1"
done
doc=$prefix/share/doc/vellumark
zcat "$doc/changelog.gz" | head -1 | grep -q "^vellumark ($version) " || fail "the changelog does not begin with $version"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' "$doc/copyright" ||
  fail "the copyright file is not machine-readable"

# Installing the entry makes it nobody's default: xdg-mime and GLib answer
# the same before and after the entry is installed beside other handlers,
# as a package installs it.
if command -v xdg-mime >/dev/null && command -v update-desktop-database >/dev/null; then
  source "$(dirname "$0")/mime_defaults.sh"
  mime_desk "$prefix/desk"
  before=$(mime_defaults)
  [ "$(grep -c 'org.late.Tool' <<<"$before")" -ge 6 ] || fail "the handlers of the check are not seen: $before"
  cp "$desktop" "$mime_apps/"
  update-desktop-database "$mime_apps"
  after=$(mime_defaults)
  [ "$before" = "$after" ] || fail "installing the entry changed defaults: $(diff <(echo "$before") <(echo "$after") || true)"
  rm -r "$prefix/desk"
else
  echo "xdg-mime or update-desktop-database missing: the defaults are not checked" >&2
fi

# The file managers' menu entries, read as they read them.
# Debian's own Python, which has GLib's bindings (python3-gi).
/usr/bin/python3 "$(dirname "$0")/menu_entries.py" "$prefix" "$id" || fail "the file-manager menu entries"

# Each module, with its package's changelog and copyright.
module_files=()
for module in ${modules//;/ }; do
  manager=${module%%=*} path=${module#*=}
  file "$prefix/$path" | grep -q 'ELF 64-bit LSB shared object' || fail "the $manager module is not installed at $path"
  module_files+=("$path" "share/doc/vellumark-$manager/changelog.gz" "share/doc/vellumark-$manager/copyright")
done

# Nothing else is installed: no tests, benchmarks, libraries or headers.
expected=$(printf '%s\n' bin/vellumark bin/vellumark-cli "share/applications/$id.desktop" \
  "share/kio/servicemenus/$id.desktop" "share/nemo/actions/$id.nemo_action" \
  "share/file-manager/actions/$id.desktop" \
  share/bash-completion/completions/vellumark share/bash-completion/completions/vellumark-cli \
  share/zsh/vendor-completions/_vellumark share/zsh/vendor-completions/_vellumark-cli \
  share/fish/vendor_completions.d/vellumark.fish share/fish/vendor_completions.d/vellumark-cli.fish \
  "${module_files[@]}" \
  "share/metainfo/$id.metainfo.xml" share/man/man1/vellumark.1.gz share/man/man1/vellumark-cli.1.gz \
  share/doc/vellumark/changelog.gz share/doc/vellumark/copyright "share/icons/hicolor/scalable/apps/$id.svg" \
  $(for size in 16 22 24 32 48 64 128 256; do echo "share/icons/hicolor/${size}x${size}/apps/$id.png"; done) | sort)
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ: $(diff <(echo "$expected") <(echo "$actual") || true)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed tree in order"
