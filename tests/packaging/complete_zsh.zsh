# Completes each LINE in an interactive zsh on a pseudo-terminal, with
# compinit and the completion folder FPATH_DIR first, in FOLDER, and prints
# "@@ LINE" and then each candidate the completion functions add, one a
# line, in the order they add them (the listing's order: each group is
# listed as it is added). The caller bounds its time.
#     zsh -f complete_zsh.zsh FPATH_DIR FOLDER LINE...
zmodload zsh/zpty
local fpath_dir=$1 folder=$2
shift 2
local out=$(mktemp)
zpty shell zsh -f -i
# compadd records what it adds, unless it is asked only to test or sort
# (-O, -A, -D), which the completion system does on its own behalf.
zpty -w shell "PS1='> '; fpath=(${(q)fpath_dir} \$fpath); autoload -Uz compinit; compinit -u -D
compadd() {
  local -a added
  if (( \${@[(I)-[OAD]]} )); then builtin compadd \"\$@\"; return; fi
  builtin compadd -A added \"\$@\"
  (( \$#added )) && print -rl -- \"\${added[@]}\" >>${(q)out}
  builtin compadd \"\$@\"
}
cd ${(q)folder}; print RE''ADY"
zpty -r -m shell ignored '*READY*'
local line
for line in "$@"; do
  : >$out
  # The keys are read in turn: the completion is over before Ctrl+U empties
  # the line and the marker's command runs.
  zpty -w -n shell "$line"$'\t\x15'
  zpty -w shell "print DO''NE"
  zpty -r -m shell ignored '*DONE*'
  print -r -- "@@ $line"
  cat $out
done
zpty -d shell
rm -f $out
