#!/bin/sh
# Everything CI runs, on a fresh Debian 12 machine: installs what is missing,
# checks formatting, builds the native core (sanitizers, fuzzers; then the
# core tests again under ThreadSanitizer) and both MinGW programs, and runs
# every test (natively and under Wine).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
cd "$root"

echo "== format check"
files=$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' 'bench/*.cpp' 2>/dev/null || true)
if [ -n "$files" ]; then
    clang-format --dry-run --Werror $files
fi

echo "== layer check"
python3 tools/check-layers.py

echo "== native core (clang, ASan, UBSan)"
tools/build.sh native
ctest --test-dir build/native --output-on-failure -j2

echo "== native core tests (clang, ThreadSanitizer)"
tools/build.sh tsan
# clang 14's ThreadSanitizer cannot map its shadow memory on kernels with
# more than 28 bits of mmap randomisation; without address randomisation it
# can, so the tests run under setarch -R where that is allowed.
norand=""
setarch "$(uname -m)" -R true 2>/dev/null && norand="setarch $(uname -m) -R"
$norand ctest --test-dir build/tsan --output-on-failure -j2

echo "== i686 program (shipped build)"
tools/build.sh win32

echo "== x86_64 program and tests under Wine"
tools/build.sh win64
ctest --test-dir build/win64 --output-on-failure -j2
