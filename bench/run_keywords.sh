#!/bin/sh
# Builds the keyword benchmark optimised and without sanitizers, then runs it
# (ours against the plain lower-case-copy-and-search method, side by side).
# usage: bench/run_keywords.sh [executable-file]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/bench/out"
mkdir -p "$out"
${CXX:-clang++} -std=c++17 -O2 -DNDEBUG -I"$root/src" \
    "$root/src/detect/keywords.cpp" "$root/src/common/text.cpp" \
    "$root/bench/bench_keywords.cpp" -o "$out/bench_keywords"
cd "$root"
"$out/bench_keywords" "$@"
