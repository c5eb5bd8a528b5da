#!/usr/bin/env bash
# Builds dist/: the sdist and, for each CPython version given (default 3.11
# to 3.15), a manylinux2014 wheel for Linux x86_64 and, for 3.11 to 3.13, a
# wheel for Windows x64; then prints each file's tag and size. Exits non-zero
# on any failure. scripts/test_wheels.sh tests what it built.
#
#   build_wheels.sh [VERSION...]
#
# Linux: zig's clang and libc++ (linked statically) against glibc 2.17's
# symbols, with the system's libgcc_s.so.1 as the unwinder, so one wheel
# serves distributions from glibc 2.17 on (see scripts/linux/); the
# extension module and the virtual USB library are built by the project's
# CMakeLists.txt for the host's CPython of each version (3.14 and 3.15: the
# Debian sid chroot's, see sid_chroot.sh), packed by scripts/wheel.py, and
# `auditwheel show` must confirm the manylinux tag.
# Windows: scripts/windows_wine.sh build, for the versions it has an
# interpreter of. The cache is wheel_env.sh's; the
# build trees are build/linux_x86_64/cp3XX and build/win_amd64/cp3XX.
set -euo pipefail
# shellcheck source=wheel_env.sh
. "$(dirname "$0")/wheel_env.sh"
# shellcheck source=sid_chroot.sh
. "$(dirname "$0")/sid_chroot.sh"
use_cache
cd "$ROOT"
[ $# -gt 0 ] || set -- 3.11 3.12 3.13 "${SID_VERSIONS[@]}"
BUILD=$ROOT/build/linux_x86_64
PLATFORM=manylinux_2_17_x86_64.manylinux2014_x86_64
mkdir -p "$BUILD"
rm -f "$DIST"/ozu_qlix-*

step "sdist"
"$HOSTPY" -c "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))" \
    "$DIST" >"$BUILD/sdist.log" 2>&1 || { cat "$BUILD/sdist.log"; exit 1; }

# One objects cache for every version: the virtual USB library, the same for
# all of them, is compiled once.
export ZIG_LOCAL_CACHE_DIR=$BUILD/zig-cache
"$ROOT/scripts/linux/zig-c++" -c -O2 -fPIC -std=c++20 -Wall -Wextra -Werror -o "$BUILD/rethrow.o" \
    "$ROOT/scripts/linux/rethrow.cpp"
windows=()
for version in "$@"; do
    xy=$(nodot "$version")
    if is_sid_version "$version"; then
        sid_ready
        python=$(sid_python "$version")
        flags="-isystem $(sid_include "$version")"
    else
        python=$(host_python "$version")
        flags=""
        windows+=("$version")
    fi
    out=$BUILD/cp$xy
    tag=cp$xy-cp$xy-$PLATFORM
    step "cp$xy: building with zig for x86_64-linux-gnu.2.17"
    rm -rf "$out"
    cmake -S "$ROOT" -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/scripts/linux/zig-linux-x64.cmake" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        -DZIG_RETHROW_OBJECT="$BUILD/rethrow.o" -DPython_EXECUTABLE="$python" -DCMAKE_CXX_FLAGS="$flags" \
        >"$out.configure.log" || { cat "$out.configure.log"; exit 1; }
    cmake --build "$out/cmake"
    rm -rf "$out/stage"
    cmake --install "$out/cmake" --prefix "$out/stage" >/dev/null

    step "cp$xy: packing the wheel"
    wheel=$("$HOSTPY" "$ROOT/scripts/wheel.py" pack "$out/stage" "$DIST" "$tag" 2>/dev/null | tail -n 1)
    # auditwheel names the most compatible manylinux tag the binaries allow.
    shown=$(auditwheel show "$wheel" | tr -s ' \n' ' ')
    echo "$shown"
    case "$shown" in
        *'consistent with the following platform tag: "manylinux_2_17_x86_64"'* | \
            *'consistent with the following platform tag: "manylinux_2_5_x86_64"'*) ;;
        *) echo "$(basename "$wheel"): auditwheel does not confirm manylinux_2_17_x86_64" >&2; exit 1 ;;
    esac
done

[ "${#windows[@]}" -eq 0 ] || scripts/windows_wine.sh build "${windows[@]}"

step "dist/"
"$HOSTPY" "$ROOT/scripts/wheel.py" list "$DIST"/ozu_qlix-*
