#!/usr/bin/env bash
# vellumark-cli on many files in the page cache, against the coreutils
# tools, rounds interleaved, medians: 1,000 files of 1 MiB named on the
# command line (--md5 against md5sum) and checked from their list (-c
# --quiet against md5sum -c --quiet); 5,000 files of 4 KiB named on the
# command line (--md5 against md5sum, --sha1 against sha1sum, --blake3 and
# --blake2b against --md5, with b3sum and b2sum beside) and checked from
# their list; a tree of 20,000 files of 1 to 64 KiB in 200 folders
# (-r --md5 against find, sort and xargs md5sum); a list of 1,000,000 lines
# naming the 5,000 files again and again (-c against md5sum -c); a file of 5
# bytes, the whole process of a stripped build against md5sum; and the peak
# resident memory on the long list, on the list of 1 MiB files and on lists
# with a line of 100 MB, from a file and a pipe. Each command is timed by
# hyperfine (its median of a few runs), once a round.
# Prints the medians and the ratios with their goals, and the machine's load.
# With REALTIME=1 (as root) each timing runs at real-time priority (chrt -f
# 1), which keeps other work off the cores for the second or so it takes.
# Usage: [REALTIME=1] bench/many_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source bench/measure.sh
ensure_packages bc time hyperfine b3sum

build_dir=${1:-build}
rounds=${2:-5}
[ -x "$build_dir/cli/vellumark-cli" ] || cmake --build "$build_dir" --target vellumark-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# As the package ships it: without its debug information.
cli="$work/vellumark-cli"
strip -o "$cli" "$build_dir/cli/vellumark-cli"

# The files, from random bytes: 1,000 of 1 MiB; 5,000 of 4 KiB; 20,000 of 1
# to 64 KiB in 200 folders; one of 5 bytes.
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
    open(my $f, ">", "$work/five") or die; print $f "12345";
' "$work"
mkdir "$work/mib"
head -c $((1000 << 20)) /dev/urandom | split -b $((1 << 20)) -d -a 4 - "$work/mib/m"
(cd "$work" && md5sum small/* > small.md5 && md5sum mib/* > mib.md5)
# 1,000,000 lines: the list of the 5,000 files 200 times over.
for ((i = 0; i < 200; ++i)); do cat "$work/small.md5"; done > "$work/long.md5"
# A line of 100 MB between two good ones.
{
    head -n 1 "$work/small.md5"
    head -c 100000000 /dev/zero | tr '\0' 'x'
    echo
    tail -n 1 "$work/small.md5"
} > "$work/wide.md5"
cat "$work"/small/* "$work"/tree/*/* "$work"/mib/* > /dev/null  # into the page cache

# Each command once, untimed: it must pass (and warms what it reads).
check() { (cd "$work" && "$@" > /dev/null) || { echo "failed: $*" >&2; exit 1; }; }
check "$cli" --md5 small/f0001 small/f0002
check "$cli" -c --quiet small.md5
check "$cli" -c --quiet mib.md5
check "$cli" -c --quiet long.md5
check "$cli" -r --md5 tree
diff <(cd "$work" && "$cli" -r --sum --md5 tree) \
    <(cd "$work" && find tree -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) > /dev/null ||
    { echo "failed: -r --sum differs from find | sort | xargs md5sum" >&2; exit 1; }

rt=()
if [ "${REALTIME:-0}" = 1 ]; then rt=(chrt -f 1); fi
# The median seconds of `runs` runs of a command in the work folder, after
# one to warm up (but for a single run), its output dropped; a pipeline runs through the shell,
# whose own start hyperfine takes off.
seconds() {
    local runs=$1 command=$2 shell=(-N) warmup=1
    [[ "$command" == *"|"* ]] && shell=(--shell sh)
    [ "$runs" = 1 ] && warmup=0
    (cd "$work" && "${rt[@]}" hyperfine "${shell[@]}" --warmup "$warmup" --runs "$runs" -i \
        --export-json "$work/time.json" "$command" > /dev/null 2>&1)
    grep -m1 '"median"' "$work/time.json" | sed 's/.*: *\([0-9.e+-]*\).*/\1/'
}

cd "$work"
declare -A command=(
    [mib]="$cli --md5 $(echo mib/*)"
    [mib_md5sum]="md5sum $(echo mib/*)"
    [mib_check]="$cli -c --quiet mib.md5"
    [mib_md5sum_c]="md5sum -c --quiet mib.md5"
    [md5]="$cli --md5 $(echo small/*)"
    [md5sum]="md5sum $(echo small/*)"
    [sha1]="$cli --sha1 $(echo small/*)"
    [sha1sum]="sha1sum $(echo small/*)"
    [blake3]="$cli --blake3 $(echo small/*)"
    [b3sum]="b3sum $(echo small/*)"
    [blake2b]="$cli --blake2b $(echo small/*)"
    [b2sum]="b2sum $(echo small/*)"
    [check]="$cli -c --quiet small.md5"
    [md5sum_c]="md5sum -c --quiet small.md5"
    [walk]="$cli -r --md5 tree"
    [find]="find tree -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum"
    [long]="$cli -c long.md5"
    [long_md5sum]="md5sum -c long.md5"
    [five]="$cli --md5 five"
    [five_md5sum]="md5sum five"
)
# Runs a round: many for the short commands, one for the long list.
declare -A runs=([long]=1 [long_md5sum]=1 [five]=200 [five_md5sum]=200)
order=(mib mib_md5sum mib_check mib_md5sum_c md5 md5sum sha1 sha1sum blake3 b3sum blake2b b2sum check md5sum_c walk find
    long long_md5sum five five_md5sum)
declare -A times
load_before=$(load)
for ((round = 0; round < rounds; ++round)); do
    for name in "${order[@]}"; do
        times[$name]+="$(seconds "${runs[$name]:-5}" "${command[$name]}") "
    done
done
declare -A t
for name in "${order[@]}"; do
    t[$name]=$(tr ' ' '\n' <<< "${times[$name]}" | grep . | median)
done
t[five]=$(echo "${t[five]} * 1000" | bc -l)
t[five_md5sum]=$(echo "${t[five_md5sum]} * 1000" | bc -l)
load_after=$(load)

peak() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -1; }
rss_long=$(peak "$cli" -c --quiet long.md5)
rss_mib=$(peak "$cli" -c --quiet mib.md5)
rss_wide=$(peak "$cli" -c --quiet wide.md5)
rss_pipe=$(sh -c "cat wide.md5 | /usr/bin/time -f %M $cli -c --quiet 2>&1 > /dev/null | tail -1")

printf 'Many files in the page cache, %d cores of %s, %d rounds, median seconds; load %s before, %s after%s\n' \
    "$(nproc)" "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$rounds" \
    "$load_before" "$load_after" "${rt[*]:+, each timing under ${rt[*]}}"
printf '  %-58s %8s %8s %7s   %s\n' 'vellumark-cli against' 'ours' 'theirs' 'ratio' 'goal'
row() { printf '  %-58s %8.4f %8.4f %7.2f   %s\n' "$1" "${t[$2]}" "${t[$3]}" "$(ratio "${t[$2]}" "${t[$3]}")" "$4"; }
row "--md5, 1,000 files of 1 MiB, vs md5sum" mib mib_md5sum '<= 0.25'
row "-c --quiet, their MD5 list, vs md5sum -c --quiet" mib_check mib_md5sum_c '<= 0.25'
row "--md5, 5,000 files of 4 KiB, vs md5sum" md5 md5sum '<= 0.50'
row "--sha1, 5,000 files of 4 KiB, vs sha1sum" sha1 sha1sum '<= 0.70'
row "--blake3, 5,000 files of 4 KiB, vs --md5" blake3 md5 '<= 1.10'
row "--blake3, 5,000 files of 4 KiB, vs b3sum" blake3 b3sum ''
row "--blake2b, 5,000 files of 4 KiB, vs --md5" blake2b md5 '<= 1.10'
row "--blake2b, 5,000 files of 4 KiB, vs b2sum" blake2b b2sum ''
row "-c --quiet, their MD5 list, vs md5sum -c --quiet" check md5sum_c '<= 0.50'
row "-r --md5, 20,000 files of 1-64 KiB, vs find|sort|xargs md5sum" walk find '<= 0.40'
row "-c, 1,000,000 lines, vs md5sum -c" long long_md5sum '<= 0.70'
row "--md5, 5 bytes, whole process (stripped), vs md5sum (ms)" five five_md5sum '<= 1.50'
printf 'Peak resident memory (goal <= 65536 KiB): 1,000,000 lines: %d KiB; 1,000 files of 1 MiB: %d KiB; a 100 MB line: %d KiB; the same from a pipe: %d KiB\n' \
    "$rss_long" "$rss_mib" "$rss_wide" "$rss_pipe"
