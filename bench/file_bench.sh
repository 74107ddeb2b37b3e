#!/usr/bin/env bash
# Times vellumark-cli on a generated file (1 GiB by default, in the page
# cache) against rhash and `openssl dgst -md5` on the same file, rounds
# interleaved, and prints the median of each and the ratios.
# Usage: bench/file_bench.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_packages rhash openssl bc

build_dir=${1:-build}
size_mib=${2:-1024}
rounds=${3:-5}
cli="$build_dir/app/vellumark-cli"
[ -x "$cli" ] || cmake --build "$build_dir" --target vellumark-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file="$work/data.bin"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$file"
cat "$file" > /dev/null  # into the page cache

# Seconds a command takes, its output dropped.
seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

declare -a ours all md5
for ((round = 0; round < rounds; ++round)); do
    ours+=("$(seconds "$cli" --md5 --sha1 --crc32 "$file")")
    all+=("$(seconds rhash --md5 --sha1 --crc32 "$file")")
    md5+=("$(seconds openssl dgst -md5 "$file")")
done
t_ours=$(printf '%s\n' "${ours[@]}" | median)
t_all=$(printf '%s\n' "${all[@]}" | median)
t_md5=$(printf '%s\n' "${md5[@]}" | median)

printf 'File: %d MiB in the page cache, %d rounds, median seconds\n' "$size_mib" "$rounds"
printf '  vellumark-cli --md5 --sha1 --crc32   %6.3f\n' "$t_ours"
printf '  rhash --md5 --sha1 --crc32           %6.3f\n' "$t_all"
printf '  openssl dgst -md5                    %6.3f\n' "$t_md5"
printf 'Ratios (lower is faster)\n'
printf '  vellumark / rhash (goal <= 0.60)           %5.2f\n' "$(echo "$t_ours / $t_all" | bc -l)"
printf '  vellumark / openssl MD5 alone (goal <= 1.15) %5.2f\n' "$(echo "$t_ours / $t_md5" | bc -l)"
