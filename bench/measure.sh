# The arithmetic the benchmark scripts share; sourced, from the project's
# top folder.

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
# $1 / $2, to bc's scale.
ratio() { echo "$1 / $2" | bc -l; }
# The median of the rounds' ratios $1[i] / $2[i], of two lists of seconds
# (blank-separated, one a round) whose commands ran in the same rounds: a
# burst of the host's load that slows one round moves it less than it
# moves the ratio of the two medians.
paired_ratio() {
    paste -d' ' <(tr ' ' '\n' <<< "$1" | grep .) <(tr ' ' '\n' <<< "$2" | grep .) | awk '{ print $1 / $2 }' | median
}
# The load average over 1, 5 and 15 minutes.
load() { cut -d' ' -f1-3 /proc/loadavg; }
