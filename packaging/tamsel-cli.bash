# bash completion for tamsel-cli: its commands and options, block devices and
# image files where a source is read, folders where something is written.

_tamsel_cli_sources() {
    local IFS=$'\n'
    # Whole disks and partitions, as lsblk names them, then files (images).
    COMPREPLY+=($(compgen -W "$(lsblk -lnpo NAME 2>/dev/null)" -- "$cur"))
    COMPREPLY+=($(compgen -f -- "$cur"))
}

_tamsel_cli_folders() {
    local IFS=$'\n'
    COMPREPLY+=($(compgen -d -- "$cur"))
}

_tamsel_cli() {
    local cur prev words cword
    _init_completion || return

    local command="" i positional=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --layout) ((i++)) ;;
            -*) ;;
            *) if [[ -z $command ]]; then command=${words[i]}; else ((positional++)); fi ;;
        esac
    done

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "scan recover image salvage check disks --help --version" -- "$cur"))
        return
    fi
    if [[ $prev == --layout ]]; then
        COMPREPLY=($(compgen -W "original type date" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local options="--help"
        case $command in
            scan) options+=" --new --no-thumbnails" ;;
            recover) options+=" --layout" ;;
            image) options+=" --retry-bad" ;;
            salvage) options+=" --dry-run --all-files --hidden" ;;
            disks) options+=" --internal --loop" ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    compopt -o filenames
    case $command:$positional in
        scan:0 | image:0 | check:0) _tamsel_cli_sources ;;
        scan:1 | image:1 | salvage:*) _tamsel_cli_folders ;;
        # SESSION [SOURCE] DEST: the middle word may be a source or the destination.
        recover:0 | recover:2) _tamsel_cli_folders ;;
        recover:1) _tamsel_cli_sources ;;
    esac
}
complete -F _tamsel_cli tamsel-cli
