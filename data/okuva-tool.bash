# bash completion for okuva-tool. The commands and their options are read from the
# tool's own help, so they follow whatever commands the installed tool has.

_okuva_tool() {
  local cur prev words cword
  _init_completion || return

  local tool=${words[0]}
  if [[ $cword -eq 1 ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W '--help --help-all --version -V -h' -- "$cur"))
    else
      local commands
      commands=$("$tool" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9_-]*\).*/\1/p')
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi

  local help
  help=$("$tool" "${words[1]}" --help 2>/dev/null) || return
  # The option before the cursor takes a value: complete files only for outputs and
  # inputs, nothing for numbers and text.
  local option_line
  option_line=$(sed -n "s/^  \\($prev\\) \\([^ ]*\\) .*/\\2/p" <<<"$help" | head -n 1)
  if [[ -n $option_line ]]; then
    case $option_line in
      *OUT* | *IN* | *FILE* | *DIR*) _filedir ;;
    esac
    return
  fi
  if [[ $cur == -* ]]; then
    local options
    options=$(sed -n '/^Options:/,$s/^  \(-[a-zA-Z-]*\).*/\1/p' <<<"$help"; echo --help)
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  _filedir
}
complete -F _okuva_tool okuva-tool
