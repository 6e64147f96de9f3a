#!/bin/sh
# Sets up (setup) or tears down (cleanup) the throw-away Wine prefix named by
# WINEPREFIX. Setup waits until the prefix is fully made: a service start in a
# half-made prefix times out. It also gives the service manager three minutes
# (instead of Wine's 10 s) for a starting service to connect and report: on a
# loaded machine a start was seen to take over a minute. A service that never
# starts still fails its scenario, only later; the tests' own waits for a
# child and for a state are longer than this.
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
    wine reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 180000 /f >/dev/null 2>&1
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
