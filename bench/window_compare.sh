#!/usr/bin/env bash
# The window's Generate on 1 GiB of random bytes in the page cache, in two
# builds of the program, rounds interleaved (the order of the two builds
# alternating from round to round): with MD5 alone ticked and with all
# three, and in the second build also with a SHA-512 on the clipboard, which
# makes each Generate compute it. Prints the medians, the ratios of the
# second build to the first with their goals, and the load average while it
# ran. Runs under xvfb-run when no display is set.
#
# Usage: bench/window_compare.sh BEFORE_BUILD_DIR [AFTER_BUILD_DIR] [ROUNDS] [MIB]
#
# BEFORE_BUILD_DIR is a build of the program as it was, with its target
# window_bench built from this window_bench.cpp (it uses nothing but the
# window's controls by name and a stand-in clipboard, which both builds have).
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s '-screen 0 1280x1024x24' "$0" "$@"
fi
cd "$(dirname "$0")/.."
source bench/measure.sh

before=$(realpath "$1")
after=$(realpath "${2:-build}")
rounds=${3:-7}
mib=${4:-1024}
for build in "$before" "$after"; do
    [ -x "$build/bench/window_bench" ] || { echo "no $build/bench/window_bench: build the target window_bench" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file="$work/window.bin"
head -c "$((mib * 1048576))" /dev/urandom > "$file"
cat "$file" > /dev/null  # into the page cache

# One Generate in a fresh window of the build; its seconds.
once() {
    local build=$1
    shift
    "$build/bench/window_bench" "$file" 1 --window-only "$@" | awk '$1 == "window" { print $2 }'
}

declare -A times
loads=()
for ((round = 0; round < rounds; ++round)); do
    loads+=("$(cut -d' ' -f1 /proc/loadavg)")
    if ((round % 2)); then order=(after before); else order=(before after); fi
    for ticks in md5 all; do
        flag=()
        [ "$ticks" = md5 ] && flag=(--md5)
        for which in "${order[@]}"; do
            if [ "$which" = before ]; then build=$before; else build=$after; fi
            times[$which.$ticks]+="$(once "$build" "${flag[@]}") "
        done
        times[after.$ticks.sha512]+="$(once "$after" "${flag[@]}" --sha512) "
    done
done
loads+=("$(cut -d' ' -f1 /proc/loadavg)")

declare -A t
for key in "${!times[@]}"; do
    t[$key]=$(tr ' ' '\n' <<< "${times[$key]}" | grep . | median)
done

printf 'Window Generate, %d MiB in the page cache, %d cores, %d rounds, median seconds\n' "$mib" "$(nproc)" "$rounds"
printf '  before: %s\n  after:  %s\n' "$before" "$after"
printf '  load average (1 min) at each round: %s\n' "${loads[*]}"
printf '  %-40s %8s %8s %7s   %s\n' 'ticked' 'after' 'before' 'ratio' 'goal'
row() { printf '  %-40s %8.3f %8.3f %7.2f   %s\n' "$1" "${t[$2]}" "${t[$3]}" "$(ratio "${t[$2]}" "${t[$3]}")" "$4"; }
row 'MD5 alone' after.md5 before.md5 '<= 1.10'
row 'all three' after.all before.all '<= 1.10'
row 'MD5 alone, SHA-512 on the clipboard' after.md5.sha512 before.md5 ''
row 'all three, SHA-512 on the clipboard' after.all.sha512 before.all ''
