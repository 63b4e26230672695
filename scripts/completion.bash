# bash completion for kivet32 and pasel32: options, the serial ports present and the network
# ports' prefixes (with the host names known after them), the baud table, then a log file name. Installed as share/bash-completion/completions/{kivet32,pasel32}.

# The serial ports present: names under /dev/serial/by-id/, ttyUSB*, ttyACM* and the ttyS* that
# have a UART behind them (a ttyS without one has type 0). With "full", as /dev/... paths.
_kivet32_ports()
{
    local full=$1 p name
    for p in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
        [ -e "$p" ] || continue
        name=${p#/dev/}
        case $name in
        ttyS*)
            [ "$(cat "/sys/class/tty/$name/type" 2>/dev/null || echo 0)" != 0 ] || continue
            ;;
        esac
        if [ "$full" = full ] || [ "${name#serial/}" != "$name" ]; then
            printf '%s\n' "$p"
        else
            printf '%s\n' "$name"
        fi
    done
}

_kivet32()
{
    # Words as typed, split at blanks only (bash also splits at ':', which /ROOT: holds).
    local line=${COMP_LINE:0:COMP_POINT} words word slashes positional=0
    read -r -a words <<<"$line"
    local cur=""
    [[ $line == *[[:space:]] ]] || { cur=${words[-1]}; unset 'words[-1]'; }
    local options='/? /HELP /KIVET /PASEL /TIMESTAMP /TIMESTAMP:CLOCK /TIMESTAMP:ISO /LIST /ROOT: /TRACE: /HEX /NORESET /APPEND -h -? --help --list'

    # Arguments before the one being completed: options (a '/' or '-' word with no second '/'
    # before any ':') come first, then the port, the baud rate and the log file.
    for word in "${words[@]:1}"; do
        slashes=${word%%:*}
        slashes=${slashes//[!\/]/}
        case $word in
        /* | -*) [ ${#slashes} -lt 2 ] && continue ;;
        esac
        ((positional++))
    done

    local IFS=$'\n'
    case $positional in
    0)
        case $cur in
        /ROOT:* | /root:*)
            COMPREPLY=($(compgen -d -P "${cur%%:*}:" -- "${cur#*:}"))
            compopt -o nospace 2>/dev/null
            ;;
        /TRACE:* | /trace:* | -trace:*)
            COMPREPLY=($(compgen -f -P "${cur%%:*}:" -- "${cur#*:}"))
            compopt -o nospace 2>/dev/null
            ;;
        /dev/*) COMPREPLY=($(compgen -W "$(_kivet32_ports full)" -- "$cur")) ;;
        [Rr][Ff][Cc]2217://* | [Tt][Cc][Pp]://*)
            COMPREPLY=($(compgen -A hostname -P "${cur%%//*}//" -S : -- "${cur#*//}"))
            compopt -o nospace 2>/dev/null
            ;;
        /* | -*)
            COMPREPLY=($(compgen -W "$(_kivet32_ports full)" -- "$cur")
                $(IFS=' ' compgen -W "$options" -- "$cur"))
            ;;
        *)
            COMPREPLY=($(compgen -W "$(_kivet32_ports short)" -- "$cur")
                $(compgen -W $'rfc2217://\ntcp://' -- "$cur"))
            # A network prefix is not a whole name yet: no blank after it.
            [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *// ]] && compopt -o nospace 2>/dev/null
            ;;
        esac
        ;;
    1) COMPREPLY=($(compgen -W $'1200\n2400\n4800\n9600\n19200\n38400\n57600\n115200' -- "$cur")) ;;
    2)
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        ;;
    *) COMPREPLY=() ;;
    esac

    # bash replaces only the part of the word after its last ':'.
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local i prefix=${cur%:*}:
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]=${COMPREPLY[i]#"$prefix"}
        done
    fi
}

complete -F _kivet32 kivet32 pasel32
