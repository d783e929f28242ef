# bash completion for quillon: the commands, the device kinds, and at each
# path the kind of device that position wants (.fs files or .sparsefs
# directories), with directories to descend into.
_quillon() {
  local cur=${COMP_WORDS[COMP_CWORD]} want
  case ${COMP_WORDS[1]}:$COMP_CWORD in
    *:1) COMPREPLY=($(compgen -W "create extend flat-to-sparse sparse-to-flat" -- "$cur")); return ;;
    create:2) COMPREPLY=($(compgen -W "flat sparse" -- "$cur")); return ;;
    create:4) [[ ${COMP_WORDS[2]} == sparse ]] && want=sparsefs || want=fs ;;
    extend:3) want=any ;;
    flat-to-sparse:2 | sparse-to-flat:3) want=fs ;;
    flat-to-sparse:3 | sparse-to-flat:2) want=sparsefs ;;
    *) return ;;
  esac
  compopt -o filenames 2>/dev/null
  local IFS=$'\n'
  COMPREPLY=($(compgen -d -- "$cur"))
  [[ $want == sparsefs ]] || COMPREPLY+=($(compgen -f -X '!*.fs' -- "$cur"))
  if [[ $want == fs ]]; then  # a sparse device is no place to look for a flat one
    local path kept=()
    for path in "${COMPREPLY[@]}"; do [[ $path == *.sparsefs ]] || kept+=("$path"); done
    COMPREPLY=("${kept[@]}")
  fi
  # A sparse device is a name, not a place to descend: no slash after it.
  if [[ $want != fs && ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *.sparsefs && -d ${COMPREPLY[0]} ]]; then
    compopt +o filenames 2>/dev/null
    COMPREPLY=("$(printf '%q' "${COMPREPLY[0]}")")
  fi
}
complete -F _quillon quillon
