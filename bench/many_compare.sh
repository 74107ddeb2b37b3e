#!/usr/bin/env bash
# vellumark-cli on many small files in two builds, rounds interleaved (the
# order of the two builds alternating from round to round), each command
# timed by hyperfine (its median of a few runs) once a round, stripped as
# the package ships it: the rows of bench/many_bench.sh whose cost is per
# file, on the same files (5,000 of 4 KiB named on the command line with
# --md5 and --sha1 and checked from their list; a tree of 20,000 files of 1
# to 64 KiB in 200 folders walked with -r --md5). Prints the medians, the
# ratios of the second build to the first with their goal, and the load
# average before and after. With REALTIME=1 (as root) each timing runs at
# real-time priority (chrt -f 1).
#
# Usage: [REALTIME=1] bench/many_compare.sh BEFORE_BUILD_DIR [AFTER_BUILD_DIR] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source bench/measure.sh
ensure_packages bc hyperfine

before=$(realpath "$1")
after=$(realpath "${2:-build}")
rounds=${3:-5}
for build in "$before" "$after"; do
    [ -x "$build/cli/vellumark-cli" ] || { echo "no $build/cli/vellumark-cli: build the target vellumark-cli" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
strip -o "$work/before" "$before/cli/vellumark-cli"
strip -o "$work/after" "$after/cli/vellumark-cli"

# The files of many_bench.sh, from the same random bytes.
perl -e '
    use strict;
    my ($work) = @ARGV;
    srand(20261209);
    sub bytes { my $n = shift; my $s = ""; $s .= pack("N", int(rand(4294967296))) while length($s) < $n; substr($s, 0, $n) }
    mkdir "$work/small";
    for my $i (1 .. 5000) { open(my $f, ">", sprintf("%s/small/f%04d", $work, $i)) or die; print $f bytes(4096); }
    mkdir "$work/tree";
    for my $d (1 .. 200) {
        my $dir = sprintf("%s/tree/d%03d", $work, $d);
        mkdir $dir;
        for my $i (1 .. 100) { open(my $f, ">", sprintf("%s/f%03d", $dir, $i)) or die; print $f bytes(1024 + int(rand(63 * 1024 + 1))); }
    }
' "$work"
(cd "$work" && md5sum small/* > small.md5)
cat "$work"/small/* "$work"/tree/*/* > /dev/null  # into the page cache

rt=()
if [ "${REALTIME:-0}" = 1 ]; then rt=(chrt -f 1); fi
seconds() {
    (cd "$work" && "${rt[@]}" hyperfine -N --warmup 1 --runs 5 -i --export-json "$work/time.json" "$1" > /dev/null 2>&1)
    grep -m1 '"median"' "$work/time.json" | sed 's/.*: *\([0-9.e+-]*\).*/\1/'
}

cd "$work"
for build in before after; do
    ./$build -r --md5 tree > /dev/null && ./$build -c --quiet small.md5 ||
        { echo "failed: the $build build" >&2; exit 1; }
done
declare -A command=(
    [md5]="--md5 $(echo small/*)"
    [sha1]="--sha1 $(echo small/*)"
    [check]="-c --quiet small.md5"
    [walk]="-r --md5 tree"
)
order=(md5 sha1 check walk)
declare -A times
load_before=$(load)
for ((round = 0; round < rounds; ++round)); do
    builds=(before after)
    ((round % 2 == 1)) && builds=(after before)
    for name in "${order[@]}"; do
        for build in "${builds[@]}"; do
            times[$name.$build]+="$(seconds "$work/$build ${command[$name]}") "
        done
    done
done
load_after=$(load)

printf 'Many files in the page cache, %d cores, %d rounds, median seconds; load %s before, %s after%s\n' \
    "$(nproc)" "$rounds" "$load_before" "$load_after" "${rt[*]:+, each timing under ${rt[*]}}"
printf '  %-46s %8s %8s %7s   %s\n' 'vellumark-cli' 'after' 'before' 'ratio' 'goal'
row() {
    local a b
    a=$(tr ' ' '\n' <<< "${times[$2.after]}" | grep . | median)
    b=$(tr ' ' '\n' <<< "${times[$2.before]}" | grep . | median)
    printf '  %-46s %8.4f %8.4f %7.2f   %s\n' "$1" "$a" "$b" "$(ratio "$a" "$b")" '<= 1.10'
}
row "--md5, 5,000 files of 4 KiB" md5
row "--sha1, 5,000 files of 4 KiB" sha1
row "-c --quiet, their MD5 list (5,000 files)" check
row "-r --md5, 20,000 files of 1-64 KiB" walk
