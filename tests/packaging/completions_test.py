#!/usr/bin/python3
"""The shell completions of vellumark-cli and vellumark, installed as
`cmake --install` lays them out, asked for candidates through the shell's
own completion machinery, in a folder of files named like lists of digests
and like other files.

    completions_test.py bash|zsh|fish BUILD_DIR

bash: bash-completion's loader finds the completion in the installed data
folder, and its function runs with COMP_WORDS and COMP_CWORD set as bash
sets them; the candidates are sorted as bash lists them unless the function
asked for them unsorted. zsh: an interactive zsh on a pseudo-terminal,
compinit, and a Tab typed after the line (complete_zsh.zsh). fish:
`complete -C LINE`, with the installed data folder among XDG_DATA_DIRS."""

import os
import shutil
import subprocess
import sys
import tempfile

shell, build = sys.argv[1], sys.argv[2]
here = os.path.dirname(os.path.abspath(__file__))
failures = []

SHA = ["--sha1", "--sha224", "--sha256", "--sha384", "--sha512",
       "--sha3-224", "--sha3-256", "--sha3-384", "--sha3-512"]
OPTIONS = ["--md5"] + SHA + [
    "--blake2b", "--length", "--blake2s", "--blake3", "--crc32", "--hmac", "--hmac-key-file",
    "--blake3-key-file", "--text", "--tag", "--sum", "--sfv", "--lower", "--recursive", "--check",
    "--ignore-missing", "--quiet", "--status", "--warn", "--strict", "--help", "--version"]
LENGTHS = ["128", "160", "224", "256", "384", "512"]
LISTS = ["SHA256SUMS", "md5sums.txt", "disk.md5", "disk.sha512", "ubuntu.sha256sum", "rhash.sfv",
         "x.b2", "x.b3"]
OTHERS = ["disk.iso", "notes.txt", "-dash.txt", "sha"]
FOLDER = "folder"

BASH = r'''
source /usr/share/bash-completion/bash_completion
sorted=
compopt() { [[ "$*" == *"-o nosort"* ]] && sorted=no; builtin compopt "$@" 2>/dev/null || true; }
for line in "$@"; do
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=('')
  COMP_LINE=$line COMP_POINT=${#line} COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=() sorted=yes
  __load_completion "${COMP_WORDS[0]}"
  spec=$(complete -p "${COMP_WORDS[0]}")
  function=${spec#*-F }
  function=${function%% *}
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  echo "@@ $line"
  if [ ${#COMPREPLY[@]} -gt 0 ]; then
    if [ $sorted = yes ]; then printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort; else printf '%s\n' "${COMPREPLY[@]}"; fi
  fi
done
'''

FISH = r'''
for line in $argv
  echo "@@ $line"
  complete -C "$line" | string replace -r '\t.*' ''
end
true
'''


def complete(prefix, folder, lines):
    """The candidates for each line, in the shell's order."""
    env = dict(os.environ, HOME=os.path.join(prefix, "home"), XDG_CONFIG_HOME=os.path.join(prefix, "config"),
               XDG_DATA_HOME=os.path.join(prefix, "home"),
               XDG_DATA_DIRS=os.path.join(prefix, "share") + ":/usr/share",
               PATH=os.path.join(prefix, "bin") + ":" + os.environ["PATH"])
    if shell == "bash":
        command = ["bash", "--norc", "--noprofile", "-c", BASH, "bash"] + lines
    elif shell == "zsh":
        command = ["zsh", "-f", os.path.join(here, "complete_zsh.zsh"),
                   os.path.join(prefix, "share/zsh/vendor-completions"), folder] + lines
    else:
        command = ["fish", "-c", FISH] + lines
    output = subprocess.run(command, cwd=folder, env=env, stdout=subprocess.PIPE, timeout=60, check=True,
                            text=True, errors="surrogateescape").stdout
    answers, current = {}, None
    for line in output.splitlines():
        if line.startswith("@@ "):
            current = answers.setdefault(line[3:], [])
        elif current is not None and line:
            current.append(line.removesuffix("/"))
    return answers


def expect_set(answers, line, wanted, ignored=()):
    got = [c for c in answers.get(line, []) if c not in ignored]
    if sorted(set(got)) != sorted(wanted):
        failures.append(f"{line!r}: {got} instead of {sorted(wanted)}")


def expect_lists_first(answers, line):
    got = answers.get(line, [])
    head = got[:len(LISTS)]
    if sorted(head) != sorted(LISTS) or not set(OTHERS + [FOLDER]) <= set(got[len(LISTS):]):
        failures.append(f"{line!r}: {got}, not the lists {sorted(LISTS)} first and then the others")


if shutil.which(shell) is None:
    print(f"{shell} is not installed", file=sys.stderr)
    sys.exit(1)

with tempfile.TemporaryDirectory() as prefix:
    subprocess.run(["cmake", "--install", build, "--prefix", prefix, "--component", "vellumark"],
                   stdout=subprocess.DEVNULL, check=True)
    folder = os.path.join(prefix, "files")
    os.makedirs(os.path.join(folder, FOLDER))
    for name in LISTS + OTHERS:
        open(os.path.join(folder, name), "w").close()

    cli = "vellumark-cli"
    lines = [f"{cli} --sh", f"{cli} --", f"{cli} -c ", f"{cli} --check --quiet ", f"{cli} -cw ",
             f"{cli} --text -c ", f"{cli} --length ", f"{cli} --length=", f"{cli} -- -", f"{cli} ",
             f"{cli} --hmac-key-file ", "vellumark --", "vellumark -- -"]
    answers = complete(prefix, folder, lines)

    expect_set(answers, f"{cli} --sh", SHA)
    expect_set(answers, f"{cli} --", OPTIONS, ignored=["--"])
    for line in (f"{cli} -c ", f"{cli} --check --quiet ", f"{cli} -cw "):
        expect_lists_first(answers, line)
    # The -c there is the text, and the options end at --: no list first.
    for line in (f"{cli} --text -c ", f"{cli} ", f"{cli} --hmac-key-file "):
        expect_set(answers, line, LISTS + OTHERS + [FOLDER])
        if answers.get(line, [])[:len(LISTS)] == LISTS:
            failures.append(f"{line!r}: lists first where no list is asked for")
    expect_set(answers, f"{cli} --length ", LENGTHS)
    expect_set(answers, f"{cli} --length=", [f"--length={n}" for n in LENGTHS] if shell == "fish" else LENGTHS)
    expect_set(answers, f"{cli} -- -", ["-dash.txt"])
    expect_set(answers, "vellumark --", ["--help", "--version"], ignored=["--"])
    expect_set(answers, "vellumark -- -", ["-dash.txt"])

for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
if not failures:
    print(f"{shell}: {len(lines)} lines complete as they should")
sys.exit(1 if failures else 0)
