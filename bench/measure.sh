# The arithmetic the benchmark scripts share; sourced, from the project's
# top folder.

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
# $1 / $2, to bc's scale.
ratio() { echo "$1 / $2" | bc -l; }
# The load average over 1, 5 and 15 minutes.
load() { cut -d' ' -f1-3 /proc/loadavg; }
