#!/usr/bin/env bash
# Writes the packaged files that are made from the programs themselves, at build time:
#   generate.sh manpage OUT VERSION DATE PROGRAM SUMMARY SECTIONS [--commands]
#       OUT (gzipped) from PROGRAM's --help: by help2man where it is installed, otherwise a
#       plain page that quotes the help. The help's "Exit status" list becomes the EXIT
#       STATUS section; SECTIONS is a help2man include file with the sections the help
#       lacks ([ENVIRONMENT], [SEE ALSO]). --commands adds each command's own --help but
#       its exit statuses, the commands being those PROGRAM's --help lists under
#       "Commands:".
#   generate.sh page OUT VERSION DATE PAGE
#       OUT (gzipped) from a hand-written PAGE, with @VERSION@ and @DATE@ filled in.
#   generate.sh completion OUT PROGRAM
#       bash completion for PROGRAM's commands (if it has any) and options, from their
#       --help; values of --port and --watch from what "korvane-cli ports" lists.
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

# A --help text on stdin without its "Exit status" list, which the page has once.
without_exit_status() { awk '/^Exit status/ {skip = 1; next} skip && /^$/ {skip = 0; next} !skip'; }

# The help's exit statuses as a section of their own rather than a subsection of OPTIONS.
exit_status_section() { sed 's/^\.SS "\(Exit status.*\):"$/.SH "EXIT STATUS"\n\1:/'; }

# Text as roff that shows it line by line, as it is.
verbatim() { printf '.nf\n'; sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"; printf '.fi\n'; }

month_of() { LC_ALL=C date -u -d "$1" '+%B %Y'; }

manpage() {
  local out=$1 version=$2 date=$3 program=$4 summary=$5 sections=$6 with_commands=${7:-}
  local name extra
  name=$(basename "$program")
  extra=$(mktemp)
  trap 'rm -f "$extra"' RETURN
  if [ "$with_commands" = --commands ]; then
    printf '[COMMANDS]\n' >"$extra"
    for command in $("$program" --help | commands_of); do
      printf '.SS "%s %s"\n' "$name" "$command"
      "$program" "$command" --help | without_exit_status | verbatim
    done >>"$extra"
  fi
  cat "$sections" >>"$extra"
  if command -v help2man >/dev/null; then
    # The help holds Chinese (忙, 闲): read it as UTF-8, not in help2man's default C locale.
    local include=()
    [ -s "$extra" ] && include=(--include="$extra")
    SOURCE_DATE_EPOCH=$(date -u -d "$date" +%s) help2man --no-info --section=1 \
      --locale=C.UTF-8 --name="$summary" --version-string="$version" "${include[@]}" \
      "$program" | exit_status_section
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

# Line speeds the window offers too.
baud_rates="1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 921600 1843200"

# Shell functions of the completion that complete a value from what is plugged in now: the
# ports "PROGRAM ports" lists (as names, /dev/ paths after a slash, and usb:VID:PID[:SERIAL]),
# and patterns for --watch, their wildcards escaped so that the shell leaves them to the
# program.
value_helpers() {
  local function=$1 program=$2
  cat <<EOF2
# The ports present: "$program ports" without its heading.
${function}_ports_present()
{
    LC_ALL=C $program ports 2>/dev/null | tail -n +2
}

${function}_usb_ids()
{
    awk '\$3 != "-" {print "usb:" \$3; if (\$4 != "-") print "usb:" \$3 ":" \$4}'
}

${function}_ports()
{
    local present
    present=\$(${function}_ports_present)
    if [[ \$cur == /* ]]; then
        COMPREPLY=(\$(compgen -W "\$(awk '{print "/dev/" \$1}' <<<"\$present")" -- "\$cur"))
    else
        COMPREPLY=(\$(compgen -W "\$(awk '{print \$1}' <<<"\$present") \$(${function}_usb_ids <<<"\$present")" -- "\$cur"))
    fi
    __ltrim_colon_completions "\$cur"
}

${function}_patterns()
{
    local pattern
    COMPREPLY=()
    for pattern in '/dev/ttyUSB*' '/dev/ttyACM*' \$(${function}_ports_present | ${function}_usb_ids); do
        [[ \$pattern == "\$cur"* ]] && COMPREPLY+=("\$(printf '%q' "\$pattern")")
    done
    __ltrim_colon_completions "\$cur"
}

EOF2
}

# The completion's cases for the value after an option, from "NAMES|PLACEHOLDER" lines on
# stdin: the ports present for --port, patterns for --watch, the usual line speeds for
# --baud, an option's listed values (<N|O|E>), nothing for numbers and free text, file
# names for the rest (files).
value_cases() {
  local function=$1 names arg
  printf '        case $prev in\n'
  while IFS='|' read -r names arg; do
    [ -n "$arg" ] || continue
    printf '        %s) ' "${names// /|}"
    case " $names " in
      *' --port '*) printf '%s_ports; return ;;\n' "$function"; continue ;;
      *' --watch '*) printf '%s_patterns; return ;;\n' "$function"; continue ;;
      # In the order given, slowest first: bash would sort them as words (115200 before 1200).
      *' --baud '*) printf 'compopt -o nosort 2>/dev/null; COMPREPLY=($(compgen -W "%s" -- "$cur")); return ;;\n' "$baud_rates"; continue ;;
    esac
    case $arg in
      *'|'*) printf 'COMPREPLY=($(compgen -W "%s" -- "$cur")); return ;;\n' "${arg//|/ }" ;;
      N | TEXT) printf 'return ;;\n' ;;
      *) printf '_filedir; return ;;\n' ;;
    esac
  done
  printf '        esac\n'
}

# The completion of a program with commands (korvane-cli): the first word is a command or
# a general option; after a command, its options, their values (value_cases) and file
# names for the command's arguments. Of a program without commands (korvane-station): its
# options, their values and file names.
completion() {
  local out=$1 program=$2 name function help command
  name=$(basename "$program")
  function=_${name//-/_}
  help=$("$program" --help)
  {
    printf '# bash completion for %s, generated from its --help.\n\n' "$name"
    value_helpers "$function" korvane-cli
    # A colon is part of usb:VID:PID, not a word break.
    printf '%s()\n{\n    local cur prev words cword\n    _init_completion -n : || return\n\n' "$function"
    if [ -z "$(commands_of <<<"$help")" ]; then
      options_of <<<"$help" | value_cases "$function"
      printf '    if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W "%s" -- "$cur"))\n' \
        "$(options_of <<<"$help" | cut -d'|' -f1 | xargs)"
      printf '    else\n        _filedir\n    fi\n}\n'
      printf 'complete -F %s %s\n' "$function" "$name"
      return
    fi
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
      value_cases "$function" <<<"$options"
      printf '        ;;\n'
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
