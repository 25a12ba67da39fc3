# bash completion for kirimark
_kirimark() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
    --format) COMPREPLY=($(compgen -W "jpeg png" -- "$cur")); return ;;
    --quality) COMPREPLY=($(compgen -W "1 2 3 4 5 6 7 8 9 10" -- "$cur")); return ;;
    --corner) COMPREPLY=($(compgen -W "top-left top-right bottom-left bottom-right" -- "$cur")); return ;;
    --font)
        local IFS=$'\n'
        COMPREPLY=($(compgen -W "$(fc-list : family 2>/dev/null | cut -d, -f1 | sort -u)" -- "$cur"))
        return ;;
    --inputs) COMPREPLY=($(compgen -W "bmp all" -- "$cur")); return ;;
    --metadata | --gps) COMPREPLY=($(compgen -W "keep strip" -- "$cur")); return ;;
    --embed-copyright | --lossless) COMPREPLY=($(compgen -W "yes no" -- "$cur")); return ;;
    --out-dir) _filedir -d; return ;;
    --size) COMPREPLY=($(compgen -W "9pt 2.5%" -- "$cur")); return ;;
    --text | --color | --back | --jobs | --threads | --size-min | --size-max) return ;;
    esac
    if [[ $cur == -* ]]; then
        local cmd=${COMP_WORDS[1]}
        case $cmd in
        --stamp) COMPREPLY=($(compgen -W "--format --quality --corner --text --font --size --size-min --size-max --color --back --transparent --jobs --threads --inputs --out-dir --metadata --gps --embed-copyright --lossless" -- "$cur")) ;;
        --convert | --settings | --help) ;;
        *) COMPREPLY=($(compgen -W "--stamp --convert --settings --help" -- "$cur")) ;;
        esac
        return
    fi
    case ${COMP_WORDS[1]} in
    --settings | --help) return ;;
    --convert) _filedir ;;
    *) _filedir '@(bmp|[jJ][pP]?([eE])[gG]|[pP][nN][gG]|[tT][iI][fF]?([fF])|[wW][eE][bB][pP]|[hH][eE][iI][cCfF])' ;;
    esac
}
complete -F _kirimark kirimark
