# bash completion for fwkit: subcommands, their options, and files.

# The word being completed as the shell reads it: without the backslashes that
# quote its characters, or the quote it opens.
_fwkit_dequote() {
    local word=$1 out= i
    case $word in
        \'*) printf '%s' "${word#\'}"; return ;;
        \"*) word=${word#\"} ;;
    esac
    for ((i = 0; i < ${#word}; i++)); do
        [ "${word:i:1}" = '\' ] && i=$((i + 1))
        out+=${word:i:1}
    done
    printf '%s' "$out"
}

# Names of files (-f) or directories (-d) that start with the word, one per
# match whatever blanks they hold; a directory ends in "/", so that completion
# goes on inside it. The shell quotes what it inserts (-o filenames).
_fwkit_files() {
    local word i IFS=$'\n'
    word=$(_fwkit_dequote "$cur")
    COMPREPLY=($(compgen "$1" -- "$word"))
    for i in "${!COMPREPLY[@]}"; do
        [ -d "${COMPREPLY[i]}" ] && COMPREPLY[i]+=/
    done
    compopt -o filenames 2>/dev/null
}

_fwkit() {
    local cur prev words cword
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local subcommands="pack join list extract stamp keygen sign check delta install status mark-good mark-bad mark-active help"
    local common="--quiet --progress --no-progress --help"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$subcommands --help --version" -- "$cur"))
        return
    fi
    case $prev in
        -C | --directory)
            _fwkit_files -d
            return
            ;;
        -t | --type | -r | --release | -v | --version | -b | --build | -a | --article | \
            --date | -n | --name | -f | --filetype | --compatible | --expires | --threshold | \
            --min-version | --at | -l | --level | --frame-size | --window-log | --tries | --chunk)
            return
            ;;
    esac
    local options
    case ${COMP_WORDS[1]} in
        pack) options="--type --release --version --build --date --name --output --json $common" ;;
        join) options="--type --article --release --version --build --date --name --output --json $common" ;;
        list) options="--json $common" ;;
        extract) options="--directory --name $common" ;;
        stamp) options="--version --filetype --output --json $common" ;;
        keygen) options="--pin-file --module --json $common" ;;
        sign) options="--key --add --compatible --expires --output --chunk --index --index-out --message-out --attach --public --pin-file --module --json $common" ;;
        check) options="--key --keyring --threshold --compatible --min-version --at --json --output --base $common" ;;
        delta) options="--base --output --key --pin-file --module --level --frame-size --window-log --chunk --index --index-out $common" ;;
        install) options="--config --allow-downgrade --tries --json $common" ;;
        status) options="--config --json $common" ;;
        mark-good | mark-bad | mark-active) options="--config $common" ;;
        help)
            [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "${subcommands% help}" -- "$cur"))
            return
            ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        _fwkit_files -f
    fi
}
complete -F _fwkit fwkit
