# bash completion for vek_smbios_util.
# Works in plain bash; uses the bash-completion package's helpers when they are loaded.

# Every option but the field options, each with what its argument is:
#   none   takes no argument
#   file   a path: files and folders (a path may go through folders, and in a batch -o names one)
#   field  a field's name
#   value  a value of its own, not completed
_vek_smbios_util_options='
-r none
-w none
-u file
-c file
-l file
-b file
-h none
-v none
-f file
-o file
-n none
-q none
-g field
--json none
--restore none
--discard-journal none
--version none
--help none
--image file
--output file
--dry-run none
--batch file
--strict none
--expect none
--quiet none
--get field
--row value
'
# The fields; each is also an option, --FIELD=VALUE, whose value is not completed.
_vek_smbios_util_fields='system-manufacturer system-product-name system-version
system-serial-number system-uuid system-sku board-manufacturer board-product-name board-version
board-serial-number chassis-manufacturer chassis-version chassis-serial-number chassis-asset-tag'

# Sets kind to what the argument of the option word $1 is: none, file, field, value (a field's),
# or empty for a word that is no option. A long option may be shortened to any prefix that names
# one option only; in a word of short options the first that takes an argument takes the rest
# of the word, so the next word is an argument only when that option ends the word.
_vek_smbios_util_kind() {
  local word=$1 option option_kind matched="" matches=0 field i
  kind=""
  if [[ $word == --?* ]]; then
    while read -r option option_kind; do
      [[ $option == --* ]] || continue
      if [[ $option == "$word" ]]; then
        kind=$option_kind
        return
      fi
      if [[ $option == "$word"* ]]; then
        matched=$option_kind
        ((matches += 1))
      fi
    done <<<"$_vek_smbios_util_options"
    for field in $_vek_smbios_util_fields; do
      if [[ --$field == "$word" ]]; then
        kind=value
        return
      fi
      if [[ --$field == "$word"* ]]; then
        matched=value
        ((matches += 1))
      fi
    done
    ((matches == 1)) && kind=$matched
  elif [[ $word == -[!-]* ]]; then
    for ((i = 1; i < ${#word}; i++)); do
      option_kind=""
      while read -r option option_kind; do
        [[ $option == "-${word:i:1}" ]] && break
        option_kind=""
      done <<<"$_vek_smbios_util_options"
      case $option_kind in
      none) ;;
      "") return ;;
      *)
        ((i == ${#word} - 1)) && kind=$option_kind
        return
        ;;
      esac
    done
  fi
  return 0
}

_vek_smbios_util() {
  # words and cword are set by _init_completion, kept local here.
  # shellcheck disable=SC2034
  local cur prev words cword split=false kind option field candidates=()
  COMPREPLY=()
  if declare -F _init_completion >/dev/null; then
    # -s splits --option=value into prev and cur.
    _init_completion -s || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    # Plain bash makes "=" a word of its own: "--get=sys" is "--get" "=" "sys", and right after
    # "--get=" the word under the cursor is "=" while the text to replace is empty.
    if [[ $cur == = ]]; then
      cur=""
      split=true
    elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
      prev=${COMP_WORDS[COMP_CWORD - 2]}
      split=true
    fi
  fi

  _vek_smbios_util_kind "$prev"
  if [[ $split == true && ($prev != --* || $kind == none || -z $kind) ]]; then
    return 0
  fi
  case $kind in
  field)
    mapfile -t COMPREPLY < <(compgen -W "$_vek_smbios_util_fields" -- "$cur")
    return 0
    ;;
  value)
    return 0
    ;;
  file) ;;
  *)
    if [[ $cur == -* ]]; then
      while read -r option _; do
        [[ -n $option ]] && candidates+=("$option")
      done <<<"$_vek_smbios_util_options"
      for field in $_vek_smbios_util_fields; do
        candidates+=("--$field=")
      done
      mapfile -t COMPREPLY < <(compgen -W "${candidates[*]}" -- "$cur")
      # A field option goes on with its value, right after the "=".
      if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == *= ]]; then
        compopt -o nospace
      fi
      return 0
    fi
    ;;
  esac
  # A path, or a word that is no option's argument: files and folders.
  if declare -F _filedir >/dev/null; then
    _filedir
  else
    compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}

complete -F _vek_smbios_util vek_smbios_util
