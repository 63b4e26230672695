#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in the Wine prefix given first:
#   scripts/wine-run.sh PREFIX program.exe [args...]
# The prefix is made on first use (wineboot -i, once, under a lock so that parallel tests wait
# for it) and a persistent wineserver is started, so that each program starts in well under a
# second. No Mono, no Gecko, no debug channels, and no menu entries or file associations made on
# the Linux desktop for the shortcuts an installer creates. The server ends by itself a while after
# the last program.
set -euo pipefail

prefix="$(realpath -m "$1")"
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export DISPLAY=

mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 9>&-
        wineserver -w 9>&-
    fi
    # A server of our own, and the services Wine starts with it, before the program: they
    # would otherwise hold the program's output open after it ends.
    if wineserver -p60 >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$prefix.lock"

exec wine "$@"
