#!/usr/bin/env bash
# Times vellumark-cli -c on a list of 200 files of 1 MiB and one of 1 GiB (by
# default; last in the list), all in the page cache, against md5sum -c on the
# same MD5 list, sha1sum -c on the same SHA-1 list and sha256sum -c on the
# same SHA256SUMS list, rounds interleaved, and the same 64-digit list under
# a name that names no algorithm (CHECKSUMS), whose lines are each checked
# against their first candidate, SHA-256, and only then against the others:
# against the SHA256SUMS run and, given a BEFORE_BUILD_DIR, against that
# build's run of it. Prints the median of each and the ratios with their
# goals.
# With REALTIME=1 (as root) each timing runs at real-time priority (chrt -f
# 1), which keeps other work off the cores for the few seconds it takes.
# Usage: [REALTIME=1] bench/check_bench.sh [BUILD_DIR] [ROUNDS] [BIG_MIB] [BEFORE_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source bench/measure.sh
ensure_packages bc

build_dir=${1:-build}
rounds=${2:-5}
big_mib=${3:-1024}
before_cli=${4:+$(realpath "$4/cli/vellumark-cli")}
cli="$build_dir/cli/vellumark-cli"
[ -x "$cli" ] || cmake --build "$build_dir" --target vellumark-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files"
for i in $(seq -w 1 200); do
    head -c 1048576 /dev/urandom > "$work/files/small-$i.bin"
done
head -c "$((big_mib * 1048576))" /dev/urandom > "$work/files/zz-big.bin"
(cd "$work/files" && md5sum -- * > ../md5.list && sha1sum -- * > ../sha1.list && sha256sum -- * > ../sha256.list)
cp "$work/sha256.list" "$work/CHECKSUMS"
cat "$work"/files/* > /dev/null  # into the page cache

# Each command once, untimed: it must pass, and its files are surely cached.
check() { (cd "$work/files" && "$@" > /dev/null) || { echo "failed: $*" >&2; exit 1; }; }
cli_path=$(realpath "$cli")
check "$cli_path" -c ../md5.list
check "$cli_path" -c ../sha1.list
check md5sum -c ../md5.list
check sha1sum -c ../sha1.list
check "$cli_path" -c ../sha256.list
check sha256sum -c ../sha256.list
check "$cli_path" -c ../CHECKSUMS
[ -z "$before_cli" ] || check "$before_cli" -c ../CHECKSUMS

rt=()
if [ "${REALTIME:-0}" = 1 ]; then rt=(chrt -f 1); fi
# Seconds a command takes in the files' folder, its output dropped.
seconds() {
    local start end
    start=$(date +%s.%N)
    (cd "$work/files" && "${rt[@]}" "$@" > /dev/null)
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}


declare -a ours_md5 ours_sha1 md5 sha1 ours_sha256 sha256 ours_unnamed before_unnamed
load_before=$(load)
for ((round = 0; round < rounds; ++round)); do
    ours_md5+=("$(seconds "$cli_path" -c ../md5.list)")
    md5+=("$(seconds md5sum -c ../md5.list)")
    ours_sha1+=("$(seconds "$cli_path" -c ../sha1.list)")
    sha1+=("$(seconds sha1sum -c ../sha1.list)")
    ours_sha256+=("$(seconds "$cli_path" -c ../sha256.list)")
    sha256+=("$(seconds sha256sum -c ../sha256.list)")
    ours_unnamed+=("$(seconds "$cli_path" -c ../CHECKSUMS)")
    [ -z "$before_cli" ] || before_unnamed+=("$(seconds "$before_cli" -c ../CHECKSUMS)")
done
load_after=$(load)
t_ours_md5=$(printf '%s\n' "${ours_md5[@]}" | median)
t_md5=$(printf '%s\n' "${md5[@]}" | median)
t_ours_sha1=$(printf '%s\n' "${ours_sha1[@]}" | median)
t_sha1=$(printf '%s\n' "${sha1[@]}" | median)
t_ours_sha256=$(printf '%s\n' "${ours_sha256[@]}" | median)
t_sha256=$(printf '%s\n' "${sha256[@]}" | median)
t_unnamed=$(printf '%s\n' "${ours_unnamed[@]}" | median)

sha_goal='goal <= 0.60'
sha256_goal='goal <= 0.50'
grep -qw sha_ni /proc/cpuinfo || sha_goal='no SHA instructions: no goal' sha256_goal=$sha_goal
printf 'Lists: 200 files of 1 MiB and one of %d MiB in the page cache, %d cores of %s, %d rounds, median seconds%s\n' \
    "$big_mib" "$(nproc)" "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$rounds" \
    "${rt[*]:+, each timing under ${rt[*]}}"
printf '  load %s before, %s after\n' "$load_before" "$load_after"
printf '  vellumark-cli -c (MD5 list)     %6.3f\n' "$t_ours_md5"
printf '  md5sum -c                       %6.3f\n' "$t_md5"
printf '  vellumark-cli -c (SHA-1 list)   %6.3f\n' "$t_ours_sha1"
printf '  sha1sum -c                      %6.3f\n' "$t_sha1"
printf '  vellumark-cli -c (SHA256SUMS)   %6.3f\n' "$t_ours_sha256"
printf '  sha256sum -c                    %6.3f\n' "$t_sha256"
printf '  vellumark-cli -c (CHECKSUMS)    %6.3f\n' "$t_unnamed"
if [ -n "$before_cli" ]; then
    t_before_unnamed=$(printf '%s\n' "${before_unnamed[@]}" | median)
    printf '  the build before, (CHECKSUMS)   %6.3f\n' "$t_before_unnamed"
fi
printf 'Ratios (lower is faster)\n'
printf '  vellumark / md5sum -c  (goal <= 0.90)  %5.2f\n' "$(echo "$t_ours_md5 / $t_md5" | bc -l)"
printf '  vellumark / sha1sum -c (%s)  %5.2f\n' "$sha_goal" "$(echo "$t_ours_sha1 / $t_sha1" | bc -l)"
printf '  vellumark / sha256sum -c (%s)  %5.2f\n' "$sha256_goal" "$(echo "$t_ours_sha256 / $t_sha256" | bc -l)"
printf '  CHECKSUMS / SHA256SUMS (goal <= 1.02)  %5.2f\n' "$(echo "$t_unnamed / $t_ours_sha256" | bc -l)"
[ -z "$before_cli" ] ||
    printf '  CHECKSUMS, this build / the build before (goal <= 1.02)  %5.2f\n' \
        "$(echo "$t_unnamed / $t_before_unnamed" | bc -l)"
