#!/bin/bash
# Checks the bash completion of vek_smbios_util: sources it into this non-interactive bash, sets
# COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT as bash does for each command line of a table,
# and compares COMPREPLY with the words expected.
#   completion_test.sh plain COMPLETION            in plain bash
#   completion_test.sh bash-completion COMPLETION  with the bash-completion package's helpers
#                                                  loaded; exits with 77 (skipped) when that
#                                                  package is not installed
# COMPLETION is the completion file the build writes from the program's tables.
# Prints each failing case and exits with 1 when any fails. Works in a temporary folder of its
# own, removed at the end.
set -u
mode=${1:-}
completion=${2:-}
helpers=/usr/share/bash-completion/bash_completion
case $mode in
plain) ;;
bash-completion)
  if [[ ! -r $helpers ]]; then
    echo "skipped: $helpers is missing (Debian package bash-completion)"
    exit 77
  fi
  # shellcheck source=/dev/null
  if ! source "$helpers" || ! declare -F _init_completion _filedir >/dev/null; then
    echo "FAIL: $helpers defines no _init_completion or _filedir"
    exit 1
  fi
  ;;
*)
  echo "usage: $0 plain|bash-completion COMPLETION" >&2
  exit 2
  ;;
esac
if [[ ! -r $completion ]]; then
  echo "usage: $0 plain|bash-completion COMPLETION (no completion file at '$completion')" >&2
  exit 2
fi
# shellcheck source=/dev/null
if ! source "$completion" ||
  [[ $(complete -p vek_smbios_util) != "complete -F _vek_smbios_util vek_smbios_util" ]]; then
  echo "FAIL [$mode] the completion is not registered for vek_smbios_util"
  exit 1
fi

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" && touch board.conf board.rom 'line 4.csv' && mkdir out || exit 1

# compopt works only while bash runs a completion; this stand-in notes what the script asks.
compopt() { compopt_words+=" $*"; }

# Completes the command line $1, the cursor at its end, as bash would: the words split at
# blanks and around "=", an empty word after a trailing blank. Leaves the words in COMPREPLY.
complete_line() {
  COMP_LINE="vek_smbios_util $1"
  read -ra COMP_WORDS <<<"${COMP_LINE//=/ = }"
  [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  compopt_words=""
  _vek_smbios_util
}

sorted() { printf '%s\n' "$@" | sort | paste -sd ' '; }

fields="system-manufacturer system-product-name system-version system-serial-number system-uuid \
system-sku board-manufacturer board-product-name board-version board-serial-number \
chassis-manufacturer chassis-version chassis-serial-number chassis-asset-tag"
# shellcheck disable=SC2086 # a list
field_options=$(printf -- '--%s= ' $fields)
options="-r -w -u -c -l -b -h -v -f -o -n -q -g --json --restore --discard-journal --same-board \
--version --help --image --output --dry-run --batch --strict --expect --quiet --get --row \
$field_options"
files="board.conf board.rom line_4.csv out"

# The cases: the command line after the program's name, the cursor at its end | the words
# expected ("_" for a blank in a file name) | "nospace" when the reply must go on without a blank.
# A word after an option that takes none completes files, so the cases for arguments that are
# no file expect other words, or none.
cases="
-|$options|
--sys|--system-manufacturer= --system-product-name= --system-version= \
--system-serial-number= --system-uuid= --system-sku=|
--system-sk|--system-sku=|nospace
--jso|--json|
--restore|--restore|
--b|--batch --board-manufacturer= --board-product-name= --board-version= --board-serial-number=|
-r --v|--version|
-g |$fields|
-g system-s|system-serial-number system-sku|
--get=|$fields|
--get=board-s|board-serial-number|
--ge system-u|system-uuid|
-wg system-u|system-uuid|
-gf system-u||
-c |$files|
-u -||
--image=board.r|board.rom|
--ima -||
-wf -||
--s bo|board.conf board.rom|
--batch -||
--batch=li|line_4.csv|
-o |$files|
-o o|out|
--output=o|out|
--outp o|out|
-c -||
-o -||
-c board.conf --res|--restore|
--system-sku=bo||
--system-sku bo||
--system-sk bo||
--json=b||
--row system-s||
--ro|--row|
-r bo|board.conf board.rom|
"

failed=0
count=0
while IFS='|' read -r line expected nospace; do
  [[ -z $line ]] && continue
  count=$((count + 1))
  complete_line "$line"
  # shellcheck disable=SC2086 # the words expected are a list
  want="$(sorted $expected)${nospace:+ (nospace)}"
  got=$(sorted "${COMPREPLY[@]// /_}")
  [[ $compopt_words == *nospace* ]] && got+=" (nospace)"
  if [[ $got != "$want" ]]; then
    printf 'FAIL [%s] vek_smbios_util %s\n  expected: %s\n  got:      %s\n' \
      "$mode" "$line" "$want" "$got"
    failed=1
  fi
done <<<"$cases"

((failed)) && exit 1
echo "$count command lines completed as expected [$mode]"
