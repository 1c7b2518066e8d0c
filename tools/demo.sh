#!/bin/sh
# The main job on a fresh machine: build Tallowguard.exe and run it under
# Wine on an example.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
"$root/tools/build.sh" win64
prefix="$root/build/demo-prefix"
"$root/tools/wine-prefix.sh" "$prefix"
# The prefix's persistent wineserver goes when the demo ends.
trap '"$root/tools/wine-prefix.sh" --stop "$prefix"' EXIT
# Each run starts as on a new machine, with no data from an earlier run.
rm -rf "$prefix/drive_c/ProgramData/Tallowguard"
export WINEPREFIX="$prefix" WINEDEBUG=-all
tg() { echo "> Tallowguard.exe $*"; wine "$root/build/win64/Tallowguard.exe" "$@" </dev/null | cat; }

tg --set-server "  https://fleet.example.org// "
tg --set-server ""
tg --status

# A folder with the EICAR test file and a few heuristic samples, decoded
# from their stored form only now.
samples="$prefix/drive_c/demo-samples"
rm -rf "$samples"
echo "> making C:\\demo-samples with the EICAR test file and heuristic samples:"
python3 "$root/tests/e2e/samples.py" demo "$samples" | sed 's/^/    /'
scan=$(tg --scan 'C:\demo-samples')
printf "%s\n" "$scan"
tg --scan 'C:\demo-samples\holiday-photos.txt'
echo "> left in C:\\demo-samples:"
ls "$samples" | sed 's/^/    /'
tg --quarantine-list
id=$(printf "%s\n" "$scan" | sed -n 's/^\[DETECT\] QUARANTINED id=\([0-9]*\) threat=EICAR-Test-File .*/\1/p' | head -n 1)
if [ -n "$id" ]; then
    tg --quarantine-restore "$id"
    echo "> left in C:\\demo-samples:"
    ls "$samples" | sed 's/^/    /'
fi
tg --quarantine-list
