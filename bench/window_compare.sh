#!/usr/bin/env bash
# The window's Generate on 1 GiB of random bytes in the page cache, in two
# builds of the program, rounds interleaved (the order of the two builds
# alternating from round to round): with MD5 alone ticked and with all
# three, and in the second build also with all three and a digest on the
# clipboard that makes each Generate compute more beside SHA-256: 64 digits
# that name no algorithm (BLAKE3), a SHA3-256 or a BLAKE2b-256 tag line,
# 128 digits that name none (SHA-512 and BLAKE2b), a SHA512 tag line. In
# the same rounds each digest's own cost, vellumark-cli --X FILE's wall and
# user+system seconds, and cat's. Prints the medians, the ratios of the
# second build to the first, and of each Generate with a clipboard digest to
# the limit of spreading its digests over the cores (the larger of the
# longest digest's wall time and the sum of the digests' and cat's
# user+system times over the cores), with their goals, and the load average
# while it ran. Runs under xvfb-run when no display is set.
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

# A command's wall and user+system seconds.
cost() {
    local TIMEFORMAT='%R %U %S'
    { time "$@" > /dev/null; } 2>&1 | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'
}

clipboards=(unnamed64 sha3-256 blake2b-256 unnamed128 sha512)
digests=(md5 sha1 crc32 sha256 blake3 sha3-256 blake2b sha512)
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
    done
    for clipboard in "${clipboards[@]}"; do
        times[after.all.$clipboard]+="$(once "$after" --clipboard "$clipboard") "
    done
    for digest in "${digests[@]}"; do
        read -r wall cpu < <(cost "$after/cli/vellumark-cli" "--$digest" "$file")
        times[wall.$digest]+="$wall "
        times[cpu.$digest]+="$cpu "
    done
    read -r wall cpu < <(cost cat "$file")
    times[cpu.cat]+="$cpu "
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
row 'MD5 alone' after.md5 before.md5 '<= 1.00 (no slower)'
row 'all three' after.all before.all '<= 1.00 (no slower)'

cores=$(nproc)
# The limit of a Generate of these digests spread over the cores.
limit() {
    local longest=0 sum=${t[cpu.cat]}
    for digest in "$@"; do
        longest=$(echo "if (${t[wall.$digest]} > $longest) ${t[wall.$digest]} else $longest" | bc -l)
        sum=$(echo "$sum + ${t[cpu.$digest]}" | bc -l)
    done
    echo "s = $sum / $cores; if ($longest > s) $longest else s" | bc -l
}
printf '\n  each digest alone, vellumark-cli --X FILE (median seconds; cat FILE: %.3f user+system)\n' "${t[cpu.cat]}"
for digest in "${digests[@]}"; do
    printf '    %-10s wall %7.3f   user+system %7.3f\n' "$digest" "${t[wall.$digest]}" "${t[cpu.$digest]}"
done
printf '\n  %-40s %8s %8s %7s   %s\n' 'all three and the clipboard' 'window' 'bound' 'ratio' 'goal'
bounded() {
    local name=$1 key=$2 bound=$3 goal=$4
    printf '  %-40s %8.3f %8.3f %7.2f   %s\n' "$name" "${t[$key]}" "$bound" "$(ratio "${t[$key]}" "$bound")" "$goal"
}
base=(md5 sha1 crc32 sha256)
bounded '64 digits, no name: + BLAKE3' after.all.unnamed64 "${t[after.all]}" '<= 1.15 of none'
bounded 'SHA3-256 named: + SHA3-256' after.all.sha3-256 "$(limit "${base[@]}" sha3-256)" '<= 1.15 of the limit'
bounded 'BLAKE2b-256 named: + BLAKE2b' after.all.blake2b-256 "$(limit "${base[@]}" blake2b)" '<= 1.15 of the limit'
bounded '128 digits: + SHA-512, BLAKE2b' after.all.unnamed128 "$(limit "${base[@]}" sha512 blake2b)" '<= 1.15 of the limit'
bounded 'SHA-512 named: + SHA-512' after.all.sha512 "$(limit "${base[@]}" sha512)" '<= 1.15 of the limit'
printf '  (the limit: the larger of the longest digest'"'"'s wall time and the sum of the\n   digests'"'"' and cat'"'"'s user+system times over %d cores; the digests of all three\n   rows and SHA-256 are in each)\n' "$cores"

