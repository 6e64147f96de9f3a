#!/bin/sh
# Sets up (setup) or tears down (cleanup) the throw-away Wine prefix named by
# WINEPREFIX. Setup waits until the prefix is fully made: a service start in a
# half-made prefix times out. It also gives the service manager more time for
# a starting service, since a loaded machine can be slow.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "${1:-}" in
setup)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1
    wineserver -w
    # Wine reads this value only as a string.
    wine reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 60000 /f >/dev/null 2>&1
    wineserver -k 2>/dev/null || true
    wineserver -w
    ;;
cleanup)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    ;;
*)
    echo "usage: $0 setup|cleanup" >&2
    exit 2
    ;;
esac
