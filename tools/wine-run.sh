#!/bin/sh
# Run a Windows program under Wine in the given prefix: wine-run.sh PREFIX EXE [ARGS...]
set -eu
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift
exec wine "$@" </dev/null
