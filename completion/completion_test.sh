#!/bin/bash
# Checks the bash completion of vek_smbios_util: sources it into this non-interactive bash, sets
# COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT as bash does for each command line of a table,
# and compares COMPREPLY with the words expected.
#   completion_test.sh plain            in plain bash
#   completion_test.sh bash-completion  with the bash-completion package's helpers loaded; exits
#                                       with 77 (skipped) when that package is not installed
# Prints each failing case and exits with 1 when any fails. Works in a temporary folder of its
# own, removed at the end.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_tree=$(dirname "$here")

mode=${1:-}
case $mode in
plain) ;;
bash-completion)
  helpers=/usr/share/bash-completion/bash_completion
  if [[ ! -r $helpers ]]; then
    echo "skipped: $helpers is missing (Debian package bash-completion)"
    exit 77
  fi
  # shellcheck source=/dev/null
  source "$helpers"
  if ! declare -F _init_completion >/dev/null || ! declare -F _filedir >/dev/null; then
    echo "$helpers defines no _init_completion or _filedir"
    exit 1
  fi
  ;;
*)
  echo "usage: $0 plain|bash-completion" >&2
  exit 2
  ;;
esac
# shellcheck source=completion/vek_smbios_util.bash
if ! source "$here/vek_smbios_util.bash"; then
  echo "FAIL [$mode] sourcing vek_smbios_util.bash failed"
  exit 1
fi
if [[ $(complete -p vek_smbios_util 2>/dev/null) != "complete -F _vek_smbios_util vek_smbios_util" ]]; then
  echo "FAIL [$mode] the completion is not registered for vek_smbios_util"
  exit 1
fi

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
touch board.conf board.rom 'line 4.csv'
mkdir out

# compopt works only while bash runs a completion; this stand-in notes what the script asks.
compopt() {
  compopt_words+=" $*"
}

# Completes the command line $1, the cursor at its end, as bash would: the words split at
# blanks and around "=", an empty word after a trailing blank. Leaves the words in COMPREPLY.
complete_line() {
  local line="vek_smbios_util $1" token tokens
  COMP_WORDS=()
  read -ra tokens <<<"$line"
  for token in "${tokens[@]}"; do
    while [[ $token == *=* ]]; do
      [[ -n ${token%%=*} ]] && COMP_WORDS+=("${token%%=*}")
      COMP_WORDS+=("=")
      token=${token#*=}
    done
    [[ -n $token ]] && COMP_WORDS+=("$token")
  done
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  compopt_words=""
  _vek_smbios_util
}

sorted() {
  printf '%s\n' "$@" | sort | paste -sd '|'
}

fields="system-manufacturer system-product-name system-version system-serial-number system-uuid
system-sku board-manufacturer board-product-name board-version board-serial-number
chassis-manufacturer chassis-version chassis-serial-number chassis-asset-tag"
fields=${fields//$'\n'/ }
field_options=$(for f in $fields; do printf -- '--%s= ' "$f"; done)
short_options="-r -w -u -c -l -b -h -v -f -o -n -q -g"
long_options="--json --restore --discard-journal --version --help --image --output --dry-run
--batch --strict --expect --quiet --get"
long_options=${long_options//$'\n'/ }
files="board.conf board.rom line_4.csv out"

# The cases: the command line after the program's name (the cursor at its end) | the words
# expected ("_" stands for a blank in a file name) | whether the reply goes on without a blank.
cases="
-|$short_options $long_options $field_options|no
--|$long_options $field_options|no
--sys|--system-manufacturer= --system-product-name= --system-version= --system-serial-number= --system-uuid= --system-sku=|no
--system-sk|--system-sku=|yes
--chassis-a|--chassis-asset-tag=|yes
--jso|--json|no
--restore|--restore|no
--re|--restore|no
--di|--discard-journal|no
--dr|--dry-run|no
--b|--batch --board-manufacturer= --board-product-name= --board-version= --board-serial-number=|no
--st|--strict|no
--ex|--expect|no
--q|--quiet|no
-r --v|--version|no
-g |$fields|no
-g system-s|system-serial-number system-sku|no
-w -g chassis-|chassis-manufacturer chassis-version chassis-serial-number chassis-asset-tag|no
--get |$fields|no
--get=board-s|board-serial-number|no
--get=|$fields|no
--ge system-u|system-uuid|no
-wg system-u|system-uuid|no
-fg system-u||no
-gf system-u||no
-c |$files|no
-c board.c|board.conf|no
-u bo|board.conf board.rom|no
-l |$files|no
-b |$files|no
-f board.r|board.rom|no
--image b|board.conf board.rom|no
--image=board.r|board.rom|no
--ima board.r|board.rom|no
-wf board.r|board.rom|no
-fw board.r|board.rom|no
--batch li|line_4.csv|no
-o |$files|no
-o o|out|no
--output o|out|no
--output=o|out|no
--outp o|out|no
-c -||no
-o -||no
--output -||no
-c board.conf --res|--restore|no
--system-sku=bo||no
--system-sku=||no
--system-sku bo||no
--system-sk bo||no
--chassis-asset-tag ||no
--json=b||no
-r bo|board.conf board.rom|no
"

failed=0
count=0
while IFS='|' read -r line expected nospace; do
  [[ -z $line ]] && continue
  count=$((count + 1))
  complete_line "$line"
  # shellcheck disable=SC2086 # the expected words are a list
  want=$(sorted $expected)
  got=$(sorted "${COMPREPLY[@]// /_}")
  got_nospace=no
  [[ $compopt_words == *"-o nospace"* ]] && got_nospace=yes
  nospace=${nospace// /}
  if [[ $got != "$want" || $got_nospace != "$nospace" ]]; then
    echo "FAIL [$mode] 'vek_smbios_util $line'"
    echo "  expected: $want (no blank after: $nospace)"
    echo "  got:      $got (no blank after: $got_nospace)"
    failed=1
  fi
done <<<"$cases"

# Every option the program takes now must be offered: the short options of cli/options.cpp and
# the long ones of its table and of the field table.
complete_line "-"
offered=" ${COMPREPLY[*]} "
short=$(sed -n 's/.*SHORT_OPTIONS = "\([a-z:]*\)".*/\1/p' "$source_tree/cli/options.cpp")
long=$(sed -n 's/.*{"\([a-z-]*\)", *\(no\|required\)_argument.*/\1:\2/p' \
  "$source_tree/cli/options.cpp" "$source_tree/record/dmi_record.cpp")
if [[ -z $short || $(wc -l <<<"$long") -lt 20 ]]; then
  echo "FAIL [$mode] found too few options in cli/options.cpp and record/dmi_record.cpp"
  failed=1
fi
for ((i = 0; i < ${#short}; i++)); do
  option=${short:i:1}
  [[ $option == : ]] && continue
  if [[ $offered != *" -$option "* ]]; then
    echo "FAIL [$mode] the program's option -$option is not offered"
    failed=1
  fi
done
for entry in $long; do
  name=${entry%%:*}
  if [[ $offered != *" --$name "* && $offered != *" --$name= "* ]]; then
    echo "FAIL [$mode] the program's option --$name is not offered"
    failed=1
  fi
done

if ((failed)); then
  exit 1
fi
echo "$count command lines completed as expected [$mode]"
