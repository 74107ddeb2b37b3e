#!/usr/bin/env bash
# Builds the Debian packages with CPack, vellumark and one for each file
# manager's module, and checks their control data and file lists against
# what the installed tree holds, with lintian, and that installing and
# removing them changes no MIME default.
#     package_test.sh BUILD_DIR VERSION APP_ID HARDENED [MODULES]
# HARDENED is 1 for an optimised build with the hardening flags, whose
# programs are checked with hardening-check and lintian's hardening tags.
# MODULES lists the file managers' modules that are built, separated by ";",
# each as MANAGER=PATH below the prefix.
set -euo pipefail
build=$1 version=$2 id=$3 hardened=${4:-0} modules=${5:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=$out/vellumark_${version}_$arch.deb
[ -f "$deb" ] || { ls "$out" >&2; echo "FAIL: no $deb" >&2; exit 1; }
debs=("$deb")

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vellumark ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
depends=$(field Depends)
depended=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6; do
  grep -qxF "$library" <<<"$depended" || fail "Depends lacks $library: $depends"
done
[[ "$(field Recommends)" == *xdg-utils* ]] || fail "Recommends lacks xdg-utils"
# The file managers' libraries are their modules' packages' business.
if grep -E 'nautilus|thunar|caja|gtk' <<<"$depended"; then
  fail "vellumark depends on a file manager's libraries: $depends"
fi

expected=$(printf '%s\n' ./usr/bin/vellumark ./usr/bin/vellumark-cli "./usr/share/applications/$id.desktop" \
  "./usr/share/kio/servicemenus/$id.desktop" "./usr/share/nemo/actions/$id.nemo_action" \
  "./usr/share/file-manager/actions/$id.desktop" \
  ./usr/share/bash-completion/completions/vellumark ./usr/share/bash-completion/completions/vellumark-cli \
  ./usr/share/zsh/vendor-completions/_vellumark ./usr/share/zsh/vendor-completions/_vellumark-cli \
  ./usr/share/fish/vendor_completions.d/vellumark.fish ./usr/share/fish/vendor_completions.d/vellumark-cli.fish \
  "./usr/share/metainfo/$id.metainfo.xml" ./usr/share/man/man1/vellumark.1.gz ./usr/share/man/man1/vellumark-cli.1.gz \
  ./usr/share/doc/vellumark/changelog.gz ./usr/share/doc/vellumark/copyright \
  "./usr/share/icons/hicolor/scalable/apps/$id.svg" \
  $(for size in 16 22 24 32 48 64 128 256; do echo "./usr/share/icons/hicolor/${size}x${size}/apps/$id.png"; done) | sort)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$actual" = "$expected" ] || fail "package files differ: $(diff <(echo "$expected") <(echo "$actual") || true)"

# The programs are stripped and run from the package's tree.
mkdir "$out/tree"
dpkg-deb -x "$deb" "$out/tree"
file "$out/tree/usr/bin/vellumark" | grep -q ', stripped' || fail "vellumark is not stripped"
[ "$("$out/tree/usr/bin/vellumark-cli" --crc32 --text abc)" = "CRC32 352441C2" ] || fail "the packaged vellumark-cli does not run"

# Each module's package: the module where its file manager loads it, and
# the changelog and copyright; it needs the vellumark of its version and its
# file manager's extension library, and nothing of Qt.
declare -A extension_library=([nautilus]=libnautilus-extension4 [thunar]=libthunarx-3-0 [caja]=libcaja-extension1)
for module in ${modules//;/ }; do
  manager=${module%%=*} path=${module#*=}
  package=vellumark-$manager
  module_deb=$out/${package}_${version}_$arch.deb
  if [ ! -f "$module_deb" ]; then
    fail "no $module_deb"
    continue
  fi
  debs+=("$module_deb")
  [ "$(dpkg-deb -f "$module_deb" Package)" = "$package" ] || fail "Package: $(dpkg-deb -f "$module_deb" Package)"
  [ "$(dpkg-deb -f "$module_deb" Version)" = "$version" ] || fail "$package Version: $(dpkg-deb -f "$module_deb" Version)"
  depends=$(dpkg-deb -f "$module_deb" Depends)
  depended=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//')
  grep -qxF "vellumark (= $version)" <<<"$depended" || fail "$package does not depend on vellumark (= $version): $depends"
  grep -q "^${extension_library[$manager]} " <<<"$depended" ||
    fail "$package does not depend on ${extension_library[$manager]}: $depends"
  if grep -q 'qt6' <<<"$depended"; then fail "$package depends on Qt: $depends"; fi
  [ "$(dpkg-deb -f "$module_deb" Enhances)" = "$manager" ] || fail "$package Enhances: $(dpkg-deb -f "$module_deb" Enhances)"
  expected=$(printf '%s\n' "./usr/$path" "./usr/share/doc/$package/changelog.gz" "./usr/share/doc/$package/copyright" | sort)
  actual=$(dpkg-deb -c "$module_deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
  [ "$actual" = "$expected" ] || fail "$package files differ: $(diff <(echo "$expected") <(echo "$actual") || true)"
  mkdir "$out/$package"
  dpkg-deb -x "$module_deb" "$out/$package"
  file "$out/$package/usr/$path" | grep -q ', stripped' || fail "the $manager module is not stripped"
  if readelf -d "$out/$package/usr/$path" | grep -i 'NEEDED.*Qt'; then fail "the $manager module links Qt"; fi
done
# No other package: everything installed belongs to one of these.
built=$(cd "$out" && ls -- *.deb | sort)
wanted=$(for each in "${debs[@]}"; do basename "$each"; done | sort)
[ "$built" = "$wanted" ] || fail "packages built: $built; expected: $wanted"

# Hardened as Debian packages are: hardening-check has nothing to say no to.
# Stack clash protection reads "unknown" when no function has a frame large
# enough for the compiler to probe; that is all it may say besides yes.
if [ "$hardened" = 1 ]; then
  if command -v hardening-check >/dev/null; then
    for program in vellumark vellumark-cli; do
      report=$(hardening-check "$out/tree/usr/bin/$program" 2>&1 || true)
      if grep -q ': no' <<<"$report"; then
        fail "hardening-check says no for $program: $(grep ': no' <<<"$report")"
      fi
      unknown=$(grep ': unknown' <<<"$report" | grep -v '^ Stack clash protection: unknown, no -fstack-clash-protection instructions found$' || true)
      [ -z "$unknown" ] || fail "hardening-check cannot tell for $program: $unknown"
    done
  else
    echo "hardening-check is not installed: the programs' hardening is not checked" >&2
  fi
fi

# Debian's package checker finds no error and no warning in any package,
# and a manual page for each program.
if command -v lintian >/dev/null; then
  lintian -I "${debs[@]}" >"$out/lintian.log" 2>/dev/null || true
  if [ "$hardened" = 1 ] && grep -q 'hardening-' "$out/lintian.log"; then
    fail "lintian finds the programs unhardened: $(grep 'hardening-' "$out/lintian.log")"
  fi
  # Built with the sanitizers, a module takes the C library's functions from
  # their runtime, and the linker drops libc: no package is made so.
  ignored='^$'
  if grep -q '^CMAKE_CXX_FLAGS:.*-fsanitize=' "$build/CMakeCache.txt"; then
    ignored='^E: [^ ]*: library-not-linked-against-libc '
  fi
  if grep '^[EW]: ' "$out/lintian.log" | grep -qv "$ignored"; then
    fail "lintian reports errors or warnings: $(grep '^[EW]: ' "$out/lintian.log" | grep -v "$ignored")"
  fi
  if grep -q 'no-manual-page' "$out/lintian.log"; then
    fail "lintian misses a manual page: $(grep 'no-manual-page' "$out/lintian.log")"
  fi
  [ -s "$out/lintian.log" ] && echo "lintian says: $(cat "$out/lintian.log")"
else
  echo "lintian is not installed: the package is not checked with it" >&2
fi

# Installing the packages and removing them again changes no MIME default.
# They are unpacked one after another where the desktop reads data from,
# first among the data folders, as installing them would, the desktop's
# database brought up to date as their triggers would, each followed by a
# look at the defaults; then they are taken away again.
if command -v xdg-mime >/dev/null && command -v update-desktop-database >/dev/null; then
  source "$(dirname "$0")/mime_defaults.sh"
  mime_desk "$out/desk"
  before=$(mime_defaults)
  root=$out/installed
  for each in "${debs[@]}"; do
    dpkg-deb -x "$each" "$root"
    [ ! -d "$root/usr/share/applications" ] || update-desktop-database "$root/usr/share/applications"
    installed=$(mime_defaults "$root/usr/share")
    [ "$installed" = "$before" ] ||
      fail "with $(basename "$each") installed the defaults differ: $(diff <(echo "$before") <(echo "$installed") || true)"
  done
  rm -r "$root"
  removed=$(mime_defaults)
  [ "$removed" = "$before" ] || fail "removing the packages changed defaults: $(diff <(echo "$before") <(echo "$removed") || true)"
else
  echo "xdg-mime or update-desktop-database missing: the defaults are not checked" >&2
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "packages in order: $(for each in "${debs[@]}"; do basename "$each"; done | tr '\n' ' ')"
