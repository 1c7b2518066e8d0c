#!/bin/sh
# Make (once) and warm up the Wine prefix that the tests share. Wine's
# daemons keep the stdout/stderr of whoever started them, so they are started
# here with every stream detached; a test runner reading a pipe would
# otherwise wait for them forever.
set -eu
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    # A second try after stopping the prefix's server: a server left over
    # from an earlier prefix of the same path can refuse the first.
    log="$prefix.boot.log"
    if ! wineboot --init >"$log" 2>&1 </dev/null; then
        wineserver -k >/dev/null 2>&1 </dev/null || true
        sleep 2
        if ! wineboot --init >>"$log" 2>&1 </dev/null; then
            echo "wineboot failed:" >&2
            cat "$log" >&2
            exit 1
        fi
    fi
    # The server writes the registry to disk only now and then; stopping it
    # saves it, so that copies of this prefix (one per test suite) start
    # with the shell folders and drives that wineboot just set up.
    wineserver -k >/dev/null 2>&1 </dev/null || true
    wineserver -w >/dev/null 2>&1 </dev/null || true
fi
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
# The shell folders are links into $HOME in a new prefix: make them real,
# empty folders so that nothing scans or watches the Linux home.
for u in "$prefix"/drive_c/users/*; do
    for f in Desktop Documents Downloads Music Pictures Videos; do
        if [ -L "$u/$f" ]; then rm -f "$u/$f"; mkdir -p "$u/$f"; fi
    done
done
exit 0
