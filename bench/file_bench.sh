#!/usr/bin/env bash
# vellumark-cli on files of random bytes in the page cache, against the tools
# people compare it with, rounds interleaved: each algorithm alone on a file
# of 512 MiB (against cat, md5sum, sha1sum, sha256sum and sha512sum), all three on one of 4 GiB
# (against openssl dgst -md5 and rhash), peak resident memory, and, under
# xvfb-run, the window against the companion on 1 GiB. Prints the medians
# and the ratios with their goals.
# Usage: bench/file_bench.sh [BUILD_DIR] [ROUNDS] [SMALL_MIB] [LARGE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source bench/measure.sh
ensure_packages rhash openssl bc time xvfb xauth

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
head -c "$((small_mib * 1048576))" /dev/urandom > "$small"
head -c "$((large_mib * 1048576))" /dev/urandom > "$large"
cat "$small" "$large" > /dev/null  # into the page cache

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
)
order=(cat crc32 md5sum md5 sha1sum sha1 sha256sum sha256 sha512sum sha512 small_all openssl rhash large_all)
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
printf 'Files of random bytes in the page cache, %d cores, %d rounds, median seconds\n' "$(nproc)" "$rounds"
printf '  %-44s %8s %8s %7s   %s\n' 'vellumark-cli against' 'ours' 'theirs' 'ratio' 'goal'
row() { printf '  %-44s %8.3f %8.3f %7.2f   %s\n' "$1" "${t[$2]}" "${t[$3]}" "$(ratio "${t[$2]}" "${t[$3]}")" "$4"; }
row "--crc32, $small_mib MiB, vs cat > /dev/null" crc32 cat '<= 1.50'
row "--md5, $small_mib MiB, vs md5sum" md5 md5sum '<= 1.00'
row "--sha1, $small_mib MiB, vs sha1sum" sha1 sha1sum "$sha_goal"
row "--sha256, $small_mib MiB, vs sha256sum" sha256 sha256sum "$sha256_goal"
# SHA-512 has no instructions of its own: one core digests while another reads.
row "--sha512, $small_mib MiB, vs sha512sum" sha512 sha512sum '<= 0.70'
row "all three, $small_mib MiB, vs md5sum" small_all md5sum ''
row "all three, $large_mib MiB, vs openssl dgst -md5" large_all openssl '<= 1.05'
row "all three, $large_mib MiB, vs rhash" large_all rhash '<= 0.60'
printf 'Peak resident memory, all three (goal <= 131072 KiB)\n'
printf '  %d MiB: %d KiB; %d MiB: %d KiB\n' "$small_mib" "$rss_small" "$large_mib" "$rss_large"

if [ -x "$window_bench" ]; then
    window_file="$work/window.bin"
    head -c 1073741824 "$large" > "$window_file" 2> /dev/null || head -c 1073741824 /dev/urandom > "$window_file"
    cat "$window_file" > /dev/null
    echo
    xvfb-run -a -s '-screen 0 1280x1024x24' "$window_bench" "$window_file" "$rounds"
else
    echo "(build the target window_bench for the window's rows)"
fi
