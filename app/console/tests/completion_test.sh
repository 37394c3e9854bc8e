#!/bin/bash
# bash completion of vesk-update: subcommands, options, option values and the paths of the
# attached (here: emulated) boards. Usage: completion_test.sh COMPLETION_FILE VESK_UPDATE
set -u
completion=$1 program=$2
bash_completion=/usr/share/bash-completion/bash_completion
if [ ! -r "$bash_completion" ]; then
  echo "FAIL: $bash_completion not found (Debian package bash-completion)" >&2
  exit 1
fi
. "$bash_completion"
. "$completion"

failures=0
# complete LINE EXPECTED...: the words offered for the last word of LINE, in order.
complete_line() {
  local line=$1
  shift
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_WORDS[0]=$program
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="$program ${line#* }" COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _vesk_update
  local got="${COMPREPLY[*]}" want="$*"
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$line' offered '$got', expected '$want'" >&2
    failures=$((failures + 1))
  fi
}

complete_line "vesk-update " list read info verify restore
complete_line "vesk-update ve" verify
complete_line "vesk-update --board=em" emulated
complete_line "vesk-update --board " usb emulated
complete_line "vesk-update --js" --json
complete_line "vesk-update -q li" list
complete_line "vesk-update --board=emulated --emulated-boards 3 --device " emulated:0 emulated:1 emulated:2
# bash breaks words at the colon: what is offered is the rest after it.
complete_line "vesk-update --emulated-boards=2 -d emulated:" 0 1
complete_line "vesk-update list " ""
[ $failures -eq 0 ] && echo "completion: all cases passed"
exit $((failures != 0))
