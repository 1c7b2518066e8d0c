#!/bin/sh
# The main job on a fresh machine: build Tallowguard.exe and run it under
# Wine on an example.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
"$root/tools/build.sh" win64
prefix="$root/build/demo-prefix"
"$root/tools/wine-prefix.sh" "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
tg() { echo "> Tallowguard.exe $*"; wine "$root/build/win64/Tallowguard.exe" "$@" </dev/null | cat; }

tg --set-server "  https://fleet.example.org// "
tg --set-server ""
tg --status
