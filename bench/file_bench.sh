#!/usr/bin/env bash
# vellumark-cli on files of random bytes in the page cache, against the tools
# people compare it with, rounds interleaved: each algorithm alone on a file
# of 512 MiB (against cat, md5sum, sha1sum, sha256sum and sha512sum), all three on one of 4 GiB
# (against openssl dgst -md5 and rhash), BLAKE3, BLAKE2b, SHA3-256 and
# SHA-384 on one of 1 GiB (against b3sum, b2sum, openssl dgst and our own
# SHA-512), peak resident memory, and, under xvfb-run, the window against
# the companion on 1 GiB. Prints the medians, the ratios (the median of the
# rounds' ratios) with their goals, the CPU and the load average.
# Usage: bench/file_bench.sh [BUILD_DIR] [ROUNDS] [SMALL_MIB] [LARGE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source bench/measure.sh
ensure_packages rhash openssl b3sum bc time xvfb xauth

build_dir=${1:-build}
rounds=${2:-5}
small_mib=${3:-512}
large_mib=${4:-4096}
cli=$(realpath "$build_dir/cli/vellumark-cli")
window_bench="$build_dir/bench/window_bench"
[ -x "$cli" ] || cmake --build "$build_dir" --target vellumark-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
small="$work/small.bin"
large="$work/large.bin"
gib="$work/gib.bin"
head -c "$((small_mib * 1048576))" /dev/urandom > "$small"
head -c "$((large_mib * 1048576))" /dev/urandom > "$large"
head -c 1073741824 "$large" > "$gib" 2> /dev/null || head -c 1073741824 /dev/urandom > "$gib"
[ "$(stat -c %s "$gib")" -eq 1073741824 ] || head -c 1073741824 /dev/urandom > "$gib"
cat "$small" "$large" "$gib" > /dev/null  # into the page cache
load_before=$(load)

# Seconds a command takes, its output dropped.
seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

# name -> command, timed in turn within each round
declare -A command=(
    [cat]="cat $small"
    [crc32]="$cli --crc32 $small"
    [md5sum]="md5sum $small"
    [md5]="$cli --md5 $small"
    [sha1sum]="sha1sum $small"
    [sha1]="$cli --sha1 $small"
    [sha256sum]="sha256sum $small"
    [sha256]="$cli --sha256 $small"
    [sha512sum]="sha512sum $small"
    [sha512]="$cli --sha512 $small"
    [small_all]="$cli --md5 --sha1 --crc32 $small"
    [openssl]="openssl dgst -md5 $large"
    [rhash]="rhash --md5 --sha1 --crc32 $large"
    [large_all]="$cli --md5 --sha1 --crc32 $large"
    [gib_cat]="cat $gib"
    [blake3]="$cli --blake3 $gib"
    [b3sum_read]="b3sum --no-mmap $gib"
    [b3sum]="b3sum $gib"
    [blake2b]="$cli --blake2b $gib"
    [b2sum]="b2sum $gib"
    [sha3]="$cli --sha3-256 $gib"
    [openssl_sha3]="openssl dgst -sha3-256 $gib"
    [sha384]="$cli --sha384 $gib"
    [gib_sha512]="$cli --sha512 $gib"
)
order=(cat crc32 md5sum md5 sha1sum sha1 sha256sum sha256 sha512sum sha512 small_all openssl rhash large_all
    gib_cat blake3 b3sum_read b3sum blake2b b2sum sha3 openssl_sha3 sha384 gib_sha512)
declare -A times
for ((round = 0; round < rounds; ++round)); do
    for name in "${order[@]}"; do
        # shellcheck disable=SC2086 # the command's words
        times[$name]+="$(seconds ${command[$name]}) "
    done
done
declare -A t
for name in "${order[@]}"; do
    t[$name]=$(tr ' ' '\n' <<< "${times[$name]}" | grep . | median)
done

peak() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -1; }
rss_large=$(peak "$cli" --md5 --sha1 --crc32 "$large")
rss_small=$(peak "$cli" --md5 --sha1 --crc32 "$small")

sha_goal='<= 0.60'
sha256_goal='<= 0.50'
grep -qw sha_ni /proc/cpuinfo || sha_goal='none (no SHA instructions)' sha256_goal=$sha_goal
# One Keccak stream cannot be split across cores: only AVX-512's rotations
# and three-way logic put SHA-3 well ahead of OpenSSL's.
sha3_goal='<= 1.00'
grep -qw avx512f /proc/cpuinfo && sha3_goal='<= 0.70'
printf 'Files of random bytes in the page cache, %d cores of %s, %d rounds, median seconds;\n' "$(nproc)" \
    "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$rounds"
printf '  the ratio is the median of the rounds'"'"' ratios, the two commands timed in the same round\n'
printf '  load average %s before, %s after\n' "$load_before" "$(load)"
printf '  %-50s %8s %8s %7s   %s\n' 'vellumark-cli against' 'ours' 'theirs' 'ratio' 'goal'
row() {
    printf '  %-50s %8.3f %8.3f %7.2f   %s\n' "$1" "${t[$2]}" "${t[$3]}" "$(paired_ratio "${times[$2]}" "${times[$3]}")" "$4"
}
row "--crc32, $small_mib MiB, vs cat > /dev/null" crc32 cat '<= 1.50'
row "--md5, $small_mib MiB, vs md5sum" md5 md5sum '<= 1.00'
row "--sha1, $small_mib MiB, vs sha1sum" sha1 sha1sum "$sha_goal"
row "--sha256, $small_mib MiB, vs sha256sum" sha256 sha256sum "$sha256_goal"
# SHA-512 has no instructions of its own: one core digests while another reads.
row "--sha512, $small_mib MiB, vs sha512sum" sha512 sha512sum '<= 0.70'
row "all three, $small_mib MiB, vs md5sum" small_all md5sum ''
row "all three, $large_mib MiB, vs openssl dgst -md5" large_all openssl '<= 1.05'
row "all three, $large_mib MiB, vs rhash" large_all rhash '<= 0.60'
row "--blake3, 1024 MiB, vs b3sum --no-mmap" blake3 b3sum_read '<= 0.70'
row "--blake3, 1024 MiB, vs cat > /dev/null" blake3 gib_cat '<= 1.60'
row "--blake3, 1024 MiB, vs b3sum (mapped, threads)" blake3 b3sum ''
row "--blake2b, 1024 MiB, vs b2sum" blake2b b2sum '<= 0.80'
row "--sha3-256, 1024 MiB, vs openssl dgst -sha3-256" sha3 openssl_sha3 "$sha3_goal"
row "--sha384, 1024 MiB, vs --sha512" sha384 gib_sha512 '<= 1.05'
printf 'Peak resident memory, all three (goal <= 131072 KiB)\n'
printf '  %d MiB: %d KiB; %d MiB: %d KiB\n' "$small_mib" "$rss_small" "$large_mib" "$rss_large"

if [ -x "$window_bench" ]; then
    echo
    xvfb-run -a -s '-screen 0 1280x1024x24' "$window_bench" "$gib" "$rounds"
else
    echo "(build the target window_bench for the window's rows)"
fi
