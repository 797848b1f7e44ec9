# Bash completion for cms: commands, their options, and parameter names from
# the running daemon (quietly nothing when it cannot be reached).
_cms() {
    # Plain COMP_WORDS, so that it works without the bash-completion package.
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local words=("${COMP_WORDS[@]}") cword=$COMP_CWORD

    local commands="get set replace add del commit push pop mget mset show
        export import dump monitor log watch stats help"
    local global_opts="-p --port -t --timeout -v --verbose --help --version"

    # The command is the first word that is not an option or its value.
    local i command="" port_args=()
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -p | --port)
                port_args=(-p "${words[i + 1]}")
                ((i++))
                ;;
            -t | --timeout) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done

    case $prev in
        -p | --port | -t | --timeout) return ;;
        -f | --format)
            COMPREPLY=($(compgen -W "shell json" -- "$cur"))
            return
            ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands $global_opts" -- "$cur"))
        return
    fi

    local opts="--help"
    case $command in
        get) opts+=" --isp" ;;
        set | replace) opts+=" --isp --both --create" ;;
        del) opts+=" --isp --both" ;;
        add) opts+=" --isp" ;;
        mset | import) opts+=" --create" ;;
        show) opts+=" --isp -n --names" ;;
        export) opts+=" --isp -f --format" ;;
        help)
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    case $command in
        import) COMPREPLY=($(compgen -f -- "$cur")) ;;
        get | set | replace | del | mget | mset | show | export | add)
            local names
            names=$(cms "${port_args[@]}" -t 1 show -n -- "$cur" 2>/dev/null)
            COMPREPLY=($(compgen -W "$names" -- "$cur"))
            ;;
    esac
}
complete -F _cms cms
