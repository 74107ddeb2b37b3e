# fish completion for vellumark-cli: its options, the values of --length,
# file names where a file is expected, and after -c or --check the files
# that look like lists of digests first.

# -c or --check on the line before the word being completed, and no -- ended
# the options before it.
function __vellumark_cli_checking
    set -l words (commandline -opc)
    set -e words[1]
    set -l value 0
    for word in $words
        if test $value = 1
            set value 0
            continue
        end
        switch $word
            case --
                return 1
            case --length --hmac --text --hmac-key-file --blake3-key-file
                set value 1
            case --check
                return 0
            case '--*'
            case '-*c*'
                return 0
        end
    end
    return 1
end

# The files and folders for the word being completed, those named as lists
# of digests are named (*SUMS*, *sums*, *.md5, *.sha*, *.sfv, *.b2, *.b3)
# first.
function __vellumark_cli_lists_first
    set -l lists
    set -l others
    for path in (commandline -ct)*
        if test -d $path
            set -a others $path/
        else if string match -q -r -- '(SUMS|sums)[^/]*$|\.(md5|sha[^/]*|sfv|b2|b3)$' $path
            set -a lists $path
        else
            set -a others $path
        end
    end
    printf '%s\n' $lists $others
end

complete -c vellumark-cli -n 'not __vellumark_cli_checking' -F
complete -c vellumark-cli -n __vellumark_cli_checking -f -k -a '(__vellumark_cli_lists_first)'

complete -c vellumark-cli -l md5 -d MD5
complete -c vellumark-cli -l sha1 -d SHA-1
complete -c vellumark-cli -l sha224 -d SHA-224
complete -c vellumark-cli -l sha256 -d SHA-256
complete -c vellumark-cli -l sha384 -d SHA-384
complete -c vellumark-cli -l sha512 -d SHA-512
complete -c vellumark-cli -l sha3-224 -d SHA3-224
complete -c vellumark-cli -l sha3-256 -d SHA3-256
complete -c vellumark-cli -l sha3-384 -d SHA3-384
complete -c vellumark-cli -l sha3-512 -d SHA3-512
complete -c vellumark-cli -l blake2b -d BLAKE2b
complete -c vellumark-cli -l length -x -a '128 160 224 256 384 512' -d 'BLAKE2b digest length in bits'
complete -c vellumark-cli -l blake2s -d BLAKE2s
complete -c vellumark-cli -l blake3 -d BLAKE3
complete -c vellumark-cli -l crc32 -d CRC-32
complete -c vellumark-cli -l hmac -x -d 'Keyed digests (HMAC) under KEY'
complete -c vellumark-cli -l hmac-key-file -r -F -d 'The HMAC key from the first line of KEYFILE'
complete -c vellumark-cli -l blake3-key-file -r -F -d 'BLAKE3 keyed with the 32 bytes of FILE'
complete -c vellumark-cli -l text -x -d 'Digest TEXT'
complete -c vellumark-cli -l tag -d 'BSD tag lines'
complete -c vellumark-cli -l sum -d 'Lines as md5sum writes them'
complete -c vellumark-cli -l sfv -d 'SFV lines of the CRC-32'
complete -c vellumark-cli -l lower -d 'Hexadecimal digits in lower case'
complete -c vellumark-cli -s r -l recursive -d 'The files in folders and the folders below'
complete -c vellumark-cli -s c -l check -d 'Check the files that lists of digests name'
complete -c vellumark-cli -l ignore-missing -d 'With --check: pass over missing files'
complete -c vellumark-cli -l quiet -d 'With --check: no line for a file that is OK'
complete -c vellumark-cli -l status -d 'With --check: only the exit status tells'
complete -c vellumark-cli -s w -l warn -d 'With --check: warn about broken lines'
complete -c vellumark-cli -l strict -d 'With --check: fail on broken lines'
complete -c vellumark-cli -l help -d 'Show the help'
complete -c vellumark-cli -l version -d 'Show the version'
complete -c vellumark-cli -n 'not __fish_seen_subcommand_from --; and string match -q -- "-*" (commandline -ct)' \
    -a -- -d 'End of the options'
