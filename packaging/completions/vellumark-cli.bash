# bash completion for vellumark-cli: its options, the values of --length,
# file names where a file is expected, and after -c or --check the files
# that look like lists of digests first.

_vellumark_cli_options='--md5 --sha1 --sha224 --sha256 --sha384 --sha512
  --sha3-224 --sha3-256 --sha3-384 --sha3-512 --blake2b --length --blake2s
  --blake3 --crc32 --hmac --hmac-key-file --blake3-key-file --text --tag
  --sum --sfv --lower -r --recursive -c --check --ignore-missing --quiet
  --status -w --warn --strict --help --version --'

# Lists are named as the tools that write them name them.
_vellumark_cli_is_list()
{
    case ${1##*/} in
        *SUMS* | *sums* | *.md5 | *.sha* | *.sfv | *.b2 | *.b3) return 0 ;;
    esac
    return 1
}

_vellumark_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --length)
            COMPREPLY=($(compgen -W '128 160 224 256 384 512' -- "$cur"))
            return
            ;;
        --hmac | --text)
            return
            ;;
        --hmac-key-file | --blake3-key-file)
            _filedir
            return
            ;;
    esac
    $split && return

    local i checking=false ended=false
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --) ended=true && break ;;
            --length | --hmac | --text | --hmac-key-file | --blake3-key-file) ((i++)) ;;
            --check) checking=true ;;
            --*) ;;
            -*c*) checking=true ;; # -c, or letters together: -cw
        esac
    done

    if [[ $ended == false && $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$_vellumark_cli_options" -- "$cur"))
        return
    fi

    _filedir
    if [[ $checking == true ]]; then
        local name lists=() others=()
        for name in "${COMPREPLY[@]}"; do
            if [[ ! -d $name ]] && _vellumark_cli_is_list "$name"; then
                lists+=("$name")
            else
                others+=("$name")
            fi
        done
        COMPREPLY=("${lists[@]}" "${others[@]}")
        compopt -o nosort
    fi
} &&
    complete -F _vellumark_cli vellumark-cli
