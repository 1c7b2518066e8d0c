#!/bin/sh
# SHA-256 speed against `openssl speed -evp sha256` (SHA-NI path) and
# sha256sum (portable path), measured side by side on this machine: each
# round runs the baseline and ours one after the other, and the best of the
# rounds counts for each, so that a busy machine hurts both alike.
# Ours runs as the Windows build under Wine (build/win64/bench, made by
# tools/build.sh win64) and natively (build/bench, or compiled here).
#   run_sha256.sh [ROUNDS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/prefix.sh"
rounds=${1:-4}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

native=""
for p in "$root/build/bench/bench_sha256" "$root/build/bench/bench/bench_sha256"; do
    [ -x "$p" ] && native=$p && break
done
if [ -z "$native" ]; then
    native="$tmp/bench_sha256"
    clang++ -std=c++17 -O2 -I"$root/src" "$root/src/detect/sha256.cpp" \
        "$root/src/detect/sha256_shani.cpp" "$root/bench/bench_sha256.cpp" -o "$native"
fi
exe="$root/build/win64/bench/bench_sha256.exe"
have_wine=0
[ -f "$exe" ] && command -v wine >/dev/null 2>&1 && have_wine=1
# Start Wine's server and services first, detached: later runs then start
# quickly, measure nothing of Wine's own start-up, and no daemon keeps this
# script's output open.
if [ $have_wine = 1 ]; then
    WINEDEBUG=-all wineserver -p60 >/dev/null 2>&1 </dev/null || true
    WINEDEBUG=-all wine cmd /c exit >/dev/null 2>&1 </dev/null || true
fi
hw=0
grep -q -m1 sha_ni /proc/cpuinfo && hw=1
echo "SHA-NI in /proc/cpuinfo: $([ $hw = 1 ] && echo yes || echo no)"

# 256 MiB of random data, hashed from the page cache by everyone.
size=268435456
head -c $size /dev/urandom >"$tmp/data.bin"
cat "$tmp/data.bin" >/dev/null
winfile=""
[ $have_wine = 1 ] && winfile=$(WINEDEBUG=-all winepath -w "$tmp/data.bin" 2>/dev/null)

max() { echo "$1 $2" | awk '{ print ($1 > $2 ? $1 : $2) }'; }
# openssl speed, one one-second run, in MB/s. -elapsed: wall-clock time, as
# ours measures (by default openssl divides by its user CPU time, which a
# busy machine does not slow down).
openssl_rate() {
    openssl speed -elapsed -evp sha256 -bytes "$1" -seconds 1 2>/dev/null |
        awk '$1 == "sha256" { sub(/k$/, "", $2); printf "%.1f\n", $2 * 1000 / 1e6 }'
}
sha256sum_rate() {
    t0=$(date +%s.%N)
    sha256sum "$tmp/data.bin" >/dev/null
    t1=$(date +%s.%N)
    echo "$t0 $t1" | awk -v n=$size '{ printf "%.1f\n", n / ($2 - $1) / 1e6 }'
}
ours_native() { "$native" --raw "$1" --file "$tmp/data.bin"; }
ours_wine() { WINEDEBUG=-all wine "$exe" --raw "$1" --file "$winfile" </dev/null 2>/dev/null; }

# measure NAME BASELINE-COMMAND OUR-MEASURE: best of the rounds, alternating.
measure() {
    b=0 n=0 w=0
    i=0
    while [ $i -lt "$rounds" ]; do
        b=$(max "$b" "$($2)")
        n=$(max "$n" "$(ours_native "$3")")
        [ $have_wine = 1 ] && w=$(max "$w" "$(ours_wine "$3")")
        i=$((i + 1))
    done
    eval "${1}_base=$b ${1}_native=$n ${1}_wine=$w"
}

line() { # what ours base aim
    echo "$2 $3" | awk -v what="$1" -v aim="$4" '{
        printf "%s: ours %.0f MB/s, baseline %.0f MB/s, ratio %.2f (aim >= %s)\n",
               what, $1, $2, $1 / $2, aim }'
}

if [ $hw = 1 ]; then
    measure big "openssl_rate 65536" hw-64k
    measure small "openssl_rate 1024" hw-1k
fi
measure file sha256sum_rate portable-file

for where in wine native; do
    [ $where = wine ] && [ $have_wine = 0 ] && {
        echo "== (no Windows build: run tools/build.sh win64 for the Wine figures)"
        continue
    }
    echo "== $([ $where = wine ] && echo 'Windows build under Wine' || echo native)"
    if [ $hw = 1 ]; then
        eval "line 'sha256 SHA-NI, 64 KiB buffers vs openssl speed -evp sha256' \$big_$where \$big_base 0.9"
        eval "line 'sha256 SHA-NI, 1 KiB buffers vs openssl speed -evp sha256' \$small_$where \$small_base 1.0"
    fi
    eval "line 'sha256 portable, 256 MiB file in 64 KiB reads vs sha256sum' \$file_$where \$file_base 0.8"
done
