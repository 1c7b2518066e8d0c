#!/bin/sh
# Signature list: loading 1,000,000 signatures against ClamAV loading the
# same digests as a .hsb database (clamscan -d db.hsb of an empty folder),
# time and peak memory; and lookups against std::unordered_map. Ours runs
# natively (build/bench, or compiled here) and, for times, as the Windows
# build under Wine (build/win64/bench, made by tools/build.sh win64).
#   run_sigs.sh [COUNT]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/prefix.sh"
count=${1:-1000000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

native=""
for p in "$root/build/bench/bench_sigs" "$root/build/bench/bench/bench_sigs"; do
    [ -x "$p" ] && native=$p && break
done
if [ -z "$native" ]; then
    native="$tmp/bench_sigs"
    clang++ -std=c++17 -O2 -I"$root/src" "$root/src/detect/sha256.cpp" "$root/src/detect/sha256_shani.cpp" \
        "$root/src/detect/sigs.cpp" "$root/src/detect/sigs_text.cpp" "$root/src/detect/sigs_names.cpp" \
        "$root/src/detect/sigs_table.cpp" "$root/src/detect/sigs_builder.cpp" "$root/src/common/text.cpp" \
        "$root/bench/bench_sigs.cpp" -o "$native" -pthread
fi
exe="$root/build/win64/bench/bench_sigs.exe"
have_wine=0
[ -f "$exe" ] && command -v wine >/dev/null 2>&1 && have_wine=1
# Start Wine's server and services first, detached: later runs then start
# quickly, measure nothing of Wine's own start-up, and no daemon keeps this
# script's output open.
if [ $have_wine = 1 ]; then
    WINEDEBUG=-all wineserver -p60 >/dev/null 2>&1 </dev/null || true
    WINEDEBUG=-all wine cmd /c exit >/dev/null 2>&1 </dev/null || true
fi
mkdir "$tmp/empty"

# Runs a command under /usr/bin/time; prints "seconds peak-KB".
measure() {
    /usr/bin/time -f "%e %M" -o "$tmp/time.out" "$@" >/dev/null 2>&1
    cat "$tmp/time.out"
}

ratio_line() { # what unit ours base aim
    echo "$1 $2 $3 $4 $5" | awk '{
        printf "%s: ours %.2f %s, baseline %.2f %s, ratio %.2f (aim <= %s)\n",
               $1, $3, $2, $4, $2, $3 / $4, $5 }'
}

for names in shared unique; do
    "$native" gen "$count" "$names" "$tmp/db.db" "$tmp/db.hsb"
    cat "$tmp/db.db" "$tmp/db.hsb" >/dev/null
    echo "== $count signatures, $names names ($(du -m "$tmp/db.db" | cut -f1) MB signatures.db)"
    # Side by side, best of three each.
    ct=1e9 cm=1e12 ot=1e9 om=1e12 wt=1e9
    for _ in 1 2 3; do
        # shellcheck disable=SC2046 # "seconds peak-KB", split on purpose
        set -- $(measure clamscan --no-summary -d "$tmp/db.hsb" "$tmp/empty")
        ct=$(echo "$1 $ct" | awk '{ print ($1 < $2 ? $1 : $2) }')
        cm=$(echo "$2 $cm" | awk '{ print ($1 < $2 ? $1 : $2) }')
        # shellcheck disable=SC2046
        set -- $(measure "$native" load "$tmp/db.db")
        ot=$(echo "$1 $ot" | awk '{ print ($1 < $2 ? $1 : $2) }')
        om=$(echo "$2 $om" | awk '{ print ($1 < $2 ? $1 : $2) }')
        if [ $have_wine = 1 ]; then
            # The program's own timing: Wine's start-up is not loading.
            w=$(WINEDEBUG=-all wine "$exe" load "$(WINEDEBUG=-all winepath -w "$tmp/db.db")" \
                </dev/null 2>/dev/null | awk '/^load:/ { print $(NF - 1) }')
            wt=$(echo "${w:-1e9} $wt" | awk '{ print ($1 < $2 ? $1 : $2) }')
        fi
    done
    ratio_line "load-time-native-$names" s "$ot" "$ct" 0.5
    [ $have_wine = 1 ] && ratio_line "load-time-wine-$names" s "$wt" "$ct" 0.5
    ratio_line "peak-memory-native-$names" MB "$(echo "$om" | awk '{ print $1 / 1024 }')" \
        "$(echo "$cm" | awk '{ print $1 / 1024 }')" 0.5
    if [ "$names" = shared ]; then
        echo "-- lookups, native"
        "$native" lookup "$tmp/db.db" 1000000
        if [ $have_wine = 1 ]; then
            echo "-- lookups, Windows build under Wine"
            WINEDEBUG=-all wine "$exe" lookup "$(WINEDEBUG=-all winepath -w "$tmp/db.db")" \
                1000000 </dev/null
        fi
    fi
done
