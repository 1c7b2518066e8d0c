# Sourced by the bench scripts: a Wine prefix of the benchmarks' own
# (build/bench-prefix), made on first use and warmed up with its daemons
# detached, so that no run touches ~/.wine or the user's home folders.
: "${root:?}"
WINEPREFIX="$root/build/bench-prefix"
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
if command -v wine >/dev/null 2>&1; then
    "$root/tools/wine-prefix.sh" "$WINEPREFIX"
fi
