#!/bin/sh
# Installs the build and test tools from Debian's packages when missing.
set -eu
need=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need mingw-w64"
command -v wine >/dev/null 2>&1 || need="$need wine64"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
command -v Xvfb >/dev/null 2>&1 || need="$need xvfb"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v clang++ >/dev/null 2>&1 || need="$need clang"
command -v clang-format >/dev/null 2>&1 || need="$need clang-format"
command -v python3 >/dev/null 2>&1 || need="$need python3"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need="$need libclang-rt-14-dev"
if [ -n "$need" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $need >/dev/null
fi
