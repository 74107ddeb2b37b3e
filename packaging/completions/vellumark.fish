# fish completion for vellumark, the window: --help, --version, -- and one
# file.

# Whether the one file is named already (after --, any word is a file).
function __vellumark_file_named
    set -l words (commandline -opc)
    set -e words[1]
    set -l ended 0
    for word in $words
        if test $ended = 1
            return 0
        end
        switch $word
            case --
                set ended 1
            case '-*'
            case '*'
                return 0
        end
    end
    return 1
end

complete -c vellumark -f
complete -c vellumark -n 'not __vellumark_file_named' -F
complete -c vellumark -n 'not __vellumark_file_named' -l help -d 'Show the help'
complete -c vellumark -n 'not __vellumark_file_named' -l version -d 'Show the version'
complete -c vellumark -n 'not __vellumark_file_named; and not __fish_seen_subcommand_from --; and string match -q -- "-*" (commandline -ct)' \
    -a -- -d 'End of the options'
