# bash completion for dupcut: options, and for decoding only .dc and .dc.zst
# streams (and folders to reach them); the last of -z and -d decides, as in dupcut. Values of -T, -M, --chunk, --table and
# --window are numbers, left to the person.

_dupcut() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  local IFS=$'\n'  # file names may hold blanks

  # COMP_WORDBREAKS splits --window=4G at '='; a value is being typed.
  [[ $cur == = || $prev == = ]] && return
  case $prev in
    -o) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- "$cur")); return ;;
    -T|-M|--threads|--memory|--chunk|--table|--window) return ;;
  esac

  # A first word that is no option opens the positional form (MODE IN OUT)
  # or names files; either way its later words are files, not options.
  local i w decode=
  if [[ ${COMP_WORDS[1]} == -?* ]]; then
    for ((i = 1; i < COMP_CWORD; i++)); do
      w=${COMP_WORDS[i]}
      case $w in
        --) break ;;
        --encode) decode= ;;
        --decode|--test|--list) decode=1 ;;
        -o|-T|-M) ((i++)) ;;
        --*) ;;
        # In a cluster, letters after o, T or M are that option's value; of
        # the mode letters, the last counts.
        -*)
          w=${w%%[oTM]*}
          w=${w//[!zdtl]/}
          case ${w: -1} in d|t|l) decode=1 ;; z) decode= ;; esac
          ;;
      esac
    done
  fi

  if [[ $cur == -* ]]; then
    local opts="-z -d -t -l -c -o -f -k -q -v -T -M -h -V --encode --decode --test --list --stdout
      --force --keep --rm --quiet --verbose --threads= --memory= --chunk= --table= --window= --verify
      --zstd --zstd= --ultra --progress --no-progress --help --version"
    COMPREPLY=($(IFS=$' \n'; compgen -W "$opts" -- "$cur"))
    [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null
    return
  fi

  compopt -o filenames 2>/dev/null
  if [[ $decode ]]; then
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X '!*.dc' -- "$cur") $(compgen -f -X '!*.dc.zst' -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -F _dupcut dupcut
