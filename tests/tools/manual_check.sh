#!/usr/bin/env bash
# The generated manual page renders without a warning and tells every command and the exit
# statuses; the completion scripts parse, and bash's completes a command, an option and a choice.
set -euo pipefail
command=$1
page=$2
bash_completion=$3
zsh_completion=$4

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$page: $warnings" >&2; exit 1; }
text=$(MANWIDTH=100 man -l "$page" 2>&1)
for heading in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS "EXIT STATUS"; do
  grep -q "^$heading" <<< "$text" || { echo "no $heading section" >&2; exit 1; }
done
commands=$("$command" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
for name in $commands; do
  grep -q "^   $name$" <<< "$text" || { echo "the page does not describe $name" >&2; exit 1; }
  for option in $("$command" "$name" --help | grep -oE -- '--[a-z-]+' | sort -u); do
    grep -qF -- "$option" <<< "$text" || { echo "the page lacks $name $option" >&2; exit 1; }
  done
done
statuses=$(sed -n '/^EXIT STATUS/,/^[A-Z]/p' <<< "$text")
for status in 0 1 2 3; do
  grep -qE "^ +$status +[A-Z]" <<< "$statuses" || { echo "exit status $status is not told" >&2; exit 1; }
done

bash -n "$bash_completion"
zsh -n "$zsh_completion"
complete_words() {  # WORD... : what bash offers for the last word
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kilnware
           printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_completion" "$@"
}
expect() {  # OFFERED WANTED
  grep -qx -- "$2" <<< "$1" || { echo "bash completion offers '$1', not '$2'" >&2; exit 1; }
}
expect "$(complete_words kilnware vid)" video-ts
expect "$(complete_words kilnware data --f)" --fs
expect "$(complete_words kilnware data --fs u)" udf
expect "$(complete_words kilnware audio --image-medium dvd)" dvd-r
