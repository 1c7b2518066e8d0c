#!/bin/sh
# Make (once) and warm up the Wine prefix that the tests share:
#     wine-prefix.sh PREFIX
# Stop the wineservers of prefixes when the tests are done; each PATH is a
# prefix or a folder of prefixes (what a suite killed half way left behind):
#     wine-prefix.sh --stop PATH...
#
# Wine's daemons keep the stdout/stderr of whoever started them, so they are
# started here with every stream detached from the caller (a test runner
# reading a pipe would otherwise wait for them forever); what they print goes
# to PREFIX.log, which is shown when a step fails.
set -eu
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The user's proxy would become WinHTTP's default proxy (for services too).
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY

# Stops the wineserver of one prefix and every program running in it.
stop() {
    case $1 in /*) p=$1 ;; *) p=$(pwd)/$1 ;; esac  # Wine takes only absolute prefixes
    WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 </dev/null || true  # 1: none was running
    WINEPREFIX="$p" wineserver -w >/dev/null 2>&1 </dev/null || true
}

if [ "${1:-}" = "--stop" ]; then
    shift
    for path in "$@"; do
        if [ -f "$path/system.reg" ]; then
            stop "$path"
        else
            for sub in "$path"/*; do
                if [ -f "$sub/system.reg" ]; then stop "$sub"; fi
            done
        fi
    done
    exit 0
fi

[ $# -eq 1 ] || { echo "usage: $0 PREFIX | --stop PATH..." >&2; exit 2; }
case $1 in /*) prefix=$1 ;; *) prefix=$(pwd)/$1 ;; esac
export WINEPREFIX="$prefix"
# Written last, once every step below has succeeded: a prefix without it was
# cut short (an interrupted wineboot leaves a system.reg all the same).
ready="$prefix/.tallowguard-ready"
log="$prefix.log"

fail() {
    echo "wine-prefix.sh: $1 ($prefix); its output:" >&2
    cat "$log" >&2
    exit 1
}

if [ ! -f "$ready" ]; then
    if [ -e "$prefix" ]; then
        echo "wine-prefix.sh: $prefix was not finished; making it again" >&2
        if [ -d "$prefix" ]; then stop "$prefix"; fi
        rm -rf "$prefix"
    fi
    mkdir -p "$(dirname "$prefix")"
    # A second try after stopping the prefix's server: a server left over
    # from an earlier prefix of the same path can refuse the first.
    if ! wineboot --init >"$log" 2>&1 </dev/null; then
        wineserver -k >/dev/null 2>&1 </dev/null || true
        sleep 2
        wineboot --init >>"$log" 2>&1 </dev/null || fail "wineboot failed"
    fi
    # The server writes the registry to disk only now and then; stopping it
    # saves it, so that copies of this prefix (one per test suite) start
    # with the shell folders and drives that wineboot just set up.
    wineserver -k >/dev/null 2>&1 </dev/null || true
    wineserver -w >>"$log" 2>&1 </dev/null || fail "the prefix's wineserver did not stop"
    new=1
else
    new=0
    : >"$log"
fi

# A persistent server (exit status 2: one runs already), then one throwaway
# command that starts Wine's services with nothing of ours to inherit.
rc=0
wineserver -p >>"$log" 2>&1 </dev/null || rc=$?
[ "$rc" -eq 0 ] || [ "$rc" -eq 2 ] || fail "wineserver -p failed with status $rc"
wine cmd /c exit >>"$log" 2>&1 </dev/null || fail "the first program in the prefix failed"

# The shell folders are links into $HOME in a new prefix (and again after a
# Wine update): make them real, empty folders so that nothing scans or
# watches the Linux home.
for u in "$prefix"/drive_c/users/*; do
    for f in Desktop Documents Downloads Music Pictures Videos; do
        if [ -L "$u/$f" ]; then rm -f "$u/$f"; mkdir -p "$u/$f"; fi
    done
done
[ "$new" -eq 0 ] || : >"$ready"
exit 0
