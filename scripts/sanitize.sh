#!/usr/bin/env bash
# Builds the extension and the virtual USB library with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole test suite against that build.
#
#   scripts/sanitize.sh [pytest arguments...]
#
# Environment, and why:
#   LD_PRELOAD=libasan.so    the interpreter itself is not instrumented, so the
#                            ASan runtime must be loaded before anything else
#                            (the extension is loaded later, by dlopen), and
#                            libstdc++ with it, for ASan to intercept C++ throws.
#   PYTHONMALLOC=malloc      Python objects are allocated with malloc instead of
#                            pymalloc's arenas, so ASan sees the bounds of every
#                            object and buffer the module reads or writes.
#   ASAN_OPTIONS=detect_leaks=0
#                            the interpreter deliberately leaves memory behind
#                            at exit; leaks are measured by scripts/leak_check.py
#                            and scripts/valgrind.sh instead.
#   UBSAN_OPTIONS=halt_on_error=1 (and -fno-sanitize-recover): any undefined
#                            behaviour ends the run with a report.
# Uses the compiler CMake picks (gcc or clang; CXX selects another). Exit
# status non-zero on any report or test failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
build="$root/build-asan"
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"

cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build"

cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
case "$("$cxx" --version | head -1)" in
    *clang*) asan="$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)" ;;
    *) asan="$("$cxx" -print-file-name=libasan.so)" ;;
esac
[ -f "$asan" ] || { echo "ASan runtime not found for $cxx" >&2; exit 1; }
# The C++ runtime is preloaded too: ASan intercepts C++ throws only if it is
# present when ASan starts, and the interpreter does not link it.
cxxrt="$(readlink -f "$("$cxx" -print-file-name=libstdc++.so)")"

log="$build/sanitizer"
rm -f "$log".*
cd "$root"
set +e
LD_PRELOAD="$asan $cxxrt" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$log" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$log" \
    PYTHONPATH="$build:$root/tests${PYTHONPATH:+:$PYTHONPATH}" \
    "$python" -m pytest -q -p no:cacheprovider "$@"
status=$?
set -e
if ls "$log".* >/dev/null 2>&1; then
    cat "$log".* >&2
    echo "sanitizer reports above" >&2
    exit 1
fi
exit "$status"
