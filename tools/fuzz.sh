#!/bin/sh
# Longer fuzzing run: every libFuzzer target for SECONDS each (default 60).
# New inputs go to a scratch copy of the corpus; crash reproducers are
# written into the repository's corpus so that ctest replays them for good.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
"$root/tools/build.sh" native
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for bin in "$root"/build/native/fuzz_*; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin"); corpus=${name#fuzz_}
    mkdir -p "$scratch/$corpus"
    cp -r "$root/fuzz/corpus/$corpus/." "$scratch/$corpus/" 2>/dev/null || true
    echo "== $name ($secs s)"
    "$bin" -max_total_time="$secs" -artifact_prefix="$root/fuzz/corpus/$corpus/" \
        "$scratch/$corpus" 2>&1 | grep -E '^(Done|==[0-9]+==ERROR|SUMMARY)' || true
done
