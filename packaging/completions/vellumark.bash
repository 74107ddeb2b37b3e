# bash completion for vellumark, the window: --help, --version, -- and one
# file.

_vellumark()
{
    local cur prev words cword
    _init_completion || return

    local i ended=false
    for ((i = 1; i < cword; i++)); do
        [[ $ended == true ]] && return # the one file is named already
        case ${words[i]} in
            --help | --version) return ;;
            --) ended=true ;;
            -*) ;;
            *) return ;;
        esac
    done

    if [[ $ended == false && $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--help --version --' -- "$cur"))
        return
    fi
    _filedir
} &&
    complete -F _vellumark vellumark
