#!/bin/sh
# Configure and build one flavour: native (core, sanitizers, fuzzers),
# tsan (native core tests under ThreadSanitizer), bench (native, optimised,
# no sanitizers), win64 (x86_64 MinGW, what the tests run under Wine) or
# win32 (i686 MinGW, the shipped program).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-win64}
jobs=$(nproc 2>/dev/null || echo 2)
gen=""
command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
case "$flavour" in
native)
    cmake -S "$root" -B "$root/build/native" $gen -DTG_NATIVE=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null ;;
tsan)
    cmake -S "$root" -B "$root/build/tsan" $gen -DTG_NATIVE=ON -DTG_SANITIZE=OFF -DTG_TSAN=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ;;
bench)
    cmake -S "$root" -B "$root/build/bench" $gen -DTG_NATIVE=ON -DTG_SANITIZE=OFF \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release >/dev/null ;;
win64)
    cmake -S "$root" -B "$root/build/win64" $gen \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null ;;
win32)
    cmake -S "$root" -B "$root/build/win32" $gen \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null ;;
*)
    echo "usage: $0 native|tsan|bench|win64|win32" >&2; exit 2 ;;
esac
cmake --build "$root/build/$flavour" -j "$jobs"
