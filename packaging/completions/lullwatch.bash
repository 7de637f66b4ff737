# bash completion for lullwatch(1)

_lullwatch()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local words=""

    if [[ $COMP_CWORD -eq 1 ]]; then
        words="status hooks --headless --help --version"
    elif [[ ${COMP_WORDS[1]} == status ]]; then
        [[ $COMP_CWORD -eq 2 ]] && words="--json"
    elif [[ ${COMP_WORDS[1]} == hooks && $prev == --agent ]]; then
        words="claude copilot qwen gemini codex all"
    elif [[ ${COMP_WORDS[1]} == hooks ]]; then
        # Each of the action and --agent once.
        local i action="" agent=""
        for ((i = 2; i < COMP_CWORD; i++)); do
            case ${COMP_WORDS[i]} in
            status | install | remove) action=yes ;;
            --agent) agent=yes ;;
            esac
        done
        [[ -z $action ]] && words="status install remove"
        [[ -z $agent ]] && words="$words --agent"
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
} &&
    complete -F _lullwatch lullwatch
