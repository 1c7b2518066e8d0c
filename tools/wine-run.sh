#!/bin/sh
# Run a Windows program under Wine in the given prefix: wine-run.sh PREFIX EXE [ARGS...]
set -eu
case $1 in /*) WINEPREFIX=$1 ;; *) WINEPREFIX=$(pwd)/$1 ;; esac  # Wine takes only absolute ones
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The user's proxy would become WinHTTP's default proxy, even for 127.0.0.1.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY
shift
exec wine "$@" </dev/null
