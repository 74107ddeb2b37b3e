#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its control data and its
# file list against what the installed tree holds.
#     package_test.sh BUILD_DIR VERSION APP_ID HARDENED
# HARDENED is 1 for an optimised build with the hardening flags, whose
# programs are checked with hardening-check and lintian's hardening tags.
set -euo pipefail
build=$1 version=$2 id=$3 hardened=${4:-0}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  exit 1
fi
deb=$out/vellumark_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$out" >&2; echo "FAIL: no $deb" >&2; exit 1; }

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

expected=$(printf '%s\n' ./usr/bin/vellumark ./usr/bin/vellumark-cli "./usr/share/applications/$id.desktop" \
  "./usr/share/kio/servicemenus/$id.desktop" "./usr/share/nemo/actions/$id.nemo_action" \
  "./usr/share/file-manager/actions/$id.desktop" \
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

# Debian's package checker finds no error, and a manual page for each program.
if command -v lintian >/dev/null; then
  lintian -I "$deb" >"$out/lintian.log" 2>/dev/null || true
  if [ "$hardened" = 1 ] && grep -q 'hardening-' "$out/lintian.log"; then
    fail "lintian finds the programs unhardened: $(grep 'hardening-' "$out/lintian.log")"
  fi
  if grep -q '^E: ' "$out/lintian.log"; then
    fail "lintian reports errors: $(grep '^E: ' "$out/lintian.log")"
  fi
  if grep -q 'no-manual-page' "$out/lintian.log"; then
    fail "lintian misses a manual page: $(grep 'no-manual-page' "$out/lintian.log")"
  fi
  [ -s "$out/lintian.log" ] && echo "lintian says: $(cat "$out/lintian.log")"
else
  echo "lintian is not installed: the package is not checked with it" >&2
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package in order: $(basename "$deb")"
