#!/bin/sh
# Runs a Windows program under Wine, in the prefix named by WINEPREFIX (the
# tests' fixture sets one up), quietly and without Mono or Gecko.
: "${WINEPREFIX:?WINEPREFIX must name the prefix to run in}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
