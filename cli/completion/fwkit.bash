# bash completion for fwkit: subcommands, their options, and files.
_fwkit() {
    local cur prev words cword
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local subcommands="pack join list extract stamp keygen sign check delta install status mark-good mark-bad mark-active"
    local common="--quiet --progress --no-progress --help"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$subcommands --help --version" -- "$cur"))
        return
    fi
    case $prev in
        -C | --directory)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        -t | --type | -r | --release | -v | --version | -b | --build | -a | --article | \
            --date | -n | --name | -f | --filetype | --compatible | --expires | --threshold | \
            --min-version | --at | -l | --level | --frame-size | --window-log | --tries)
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
        sign) options="--key --add --compatible --expires --output --message-out --attach --public --pin-file --module --json $common" ;;
        check) options="--key --keyring --threshold --compatible --min-version --at --json --output --base $common" ;;
        delta) options="--base --output --key --pin-file --module --level --frame-size --window-log $common" ;;
        install) options="--config --allow-downgrade --tries --json $common" ;;
        status) options="--config --json $common" ;;
        mark-good | mark-bad | mark-active) options="--config $common" ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _fwkit fwkit
