#!/usr/bin/env bash
# Writes the packaged files that are made from the programs themselves, at build time:
#   generate.sh manpage OUT VERSION DATE PROGRAM SUMMARY [--commands]
#       OUT (gzipped) from PROGRAM's --help: by help2man where it is installed, otherwise a
#       plain page that quotes the help. --commands adds each command's own --help, the
#       commands being those PROGRAM's --help lists under "Commands:".
#   generate.sh page OUT VERSION DATE PAGE
#       OUT (gzipped) from a hand-written PAGE, with @VERSION@ and @DATE@ filled in.
#   generate.sh completion OUT PROGRAM
#       bash completion for PROGRAM's commands and their options, from their --help.
# DATE is the release's date as the changelog gives it; pages carry its month and year, so
# a rebuild gives the same bytes.
set -euo pipefail

# The names listed under "Commands:" in a --help text on stdin.
commands_of() { awk '/^[A-Za-z][A-Za-z ]*:$/ {s = $0; next} /^[^ ]/ {s = ""}
                     s == "Commands:" && /^  [a-z]/ {print $1}'; }

# One line per option of a --help text on stdin: "NAMES|PLACEHOLDER", e.g. "-p --port|NAME".
options_of() {
  awk '/^[A-Za-z][A-Za-z ]*:$/ {s = $0; next} /^[^ ]/ {s = ""}
       s == "Options:" && /^  -/ {
         option = substr($0, 3); sub(/  .*/, "", option)
         arg = ""; if (match(option, /<[^>]*>/)) arg = substr(option, RSTART + 1, RLENGTH - 2)
         sub(/ *<.*/, "", option); gsub(/,/, "", option); print option "|" arg }'
}

# Text as roff that shows it line by line, as it is.
verbatim() { printf '.nf\n'; sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"; printf '.fi\n'; }

month_of() { LC_ALL=C date -u -d "$1" '+%B %Y'; }

manpage() {
  local out=$1 version=$2 date=$3 program=$4 summary=$5 with_commands=${6:-}
  local name extra
  name=$(basename "$program")
  extra=$(mktemp)
  trap 'rm -f "$extra"' RETURN
  if [ "$with_commands" = --commands ]; then
    printf '[COMMANDS]\n' >"$extra"
    for command in $("$program" --help | commands_of); do
      printf '.SS "%s %s"\n' "$name" "$command"
      "$program" "$command" --help | verbatim
    done >>"$extra"
  fi
  if command -v help2man >/dev/null; then
    # The help holds Chinese (忙, 闲): read it as UTF-8, not in help2man's default C locale.
    local include=()
    [ -s "$extra" ] && include=(--include="$extra")
    SOURCE_DATE_EPOCH=$(date -u -d "$date" +%s) help2man --no-info --section=1 \
      --locale=C.UTF-8 --name="$summary" --version-string="$version" "${include[@]}" \
      "$program"
  else
    printf '.TH "%s" 1 "%s" "%s %s" "User Commands"\n' "${name^^}" "$(month_of "$date")" "$name" "$version"
    printf '.SH NAME\n%s \\- %s\n.SH DESCRIPTION\n' "$name" "$summary"
    "$program" --help | verbatim
    sed 's/^\[\(.*\)\]$/.SH \1/' "$extra"
  fi | gzip -9n >"$out"
}

page() {
  local out=$1 version=$2 date=$3 source=$4
  sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$(month_of "$date")/g" "$source" | gzip -9n >"$out"
}

# The completion: the first word is a command or a general option; after a command, its
# options, an option's listed values (<N|O|E>), file names for an option's other values
# (ports, files) except numbers and free text, and file names for the command's arguments.
completion() {
  local out=$1 program=$2 name function help command
  name=$(basename "$program")
  function=_${name//-/_}
  help=$("$program" --help)
  {
    printf '# bash completion for %s, generated from its --help.\n' "$name"
    printf '%s()\n{\n    local cur prev words cword\n    _init_completion || return\n\n' "$function"
    printf '    if [ "$cword" -eq 1 ]; then\n        COMPREPLY=($(compgen -W "%s" -- "$cur"))\n' \
      "$(commands_of <<<"$help" | xargs) $(options_of <<<"$help" | cut -d'|' -f1 | xargs)"
    printf '        return\n    fi\n    local options files=\n    case ${words[1]} in\n'
    for command in $(commands_of <<<"$help"); do
      local text options
      text=$("$program" "$command" --help)
      options=$(options_of <<<"$text")
      printf '    %s)\n' "$command"
      printf '        options="%s"\n' "$(cut -d'|' -f1 <<<"$options" | xargs)"
      grep -q '^Arguments:$' <<<"$text" && printf '        files=1\n'
      printf '        case $prev in\n'
      while IFS='|' read -r names arg; do
        [ -n "$arg" ] || continue
        printf '        %s) ' "${names// /|}"
        case $arg in
          *'|'*) printf 'COMPREPLY=($(compgen -W "%s" -- "$cur")); return ;;\n' "${arg//|/ }" ;;
          N | TEXT) printf 'return ;;\n' ;;
          *) printf '_filedir; return ;;\n' ;;
        esac
      done <<<"$options"
      printf '        esac\n        ;;\n'
    done
    printf '    *) return ;;\n    esac\n'
    printf '    if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W "$options" -- "$cur"))\n'
    printf '    elif [ -n "$files" ]; then\n        _filedir\n    fi\n}\n'
    printf 'complete -F %s %s\n' "$function" "$name"
  } >"$out"
}

# Run by name, not path, so help that shows the program's own name (Qt's does) shows
# "korvane-devsim" rather than the build tree's path.
program_dir() { cd "$(dirname "$1")" && pwd; }
case $1 in
  manpage) PATH="$(program_dir "$5"):$PATH" manpage "$2" "$3" "$4" "$(basename "$5")" "${@:6}" ;;
  completion) PATH="$(program_dir "$3"):$PATH" completion "$2" "$(basename "$3")" ;;
  page) page "${@:2}" ;;
  *) echo "generate.sh: unknown mode $1" >&2; exit 64 ;;
esac
