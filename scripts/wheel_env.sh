# Sourced by the wheel scripts (build_wheels.sh, test_wheels.sh,
# windows_wine.sh): paths, the cache and its lock, the host's CPython
# versions and the venv of build tools.
#
# Downloads, the tools, the wine prefix and zig's cache stay in
# $OZU_QLIX_WIN_CACHE (default ~/.cache/ozu_qlix_win), so a second run only
# builds and tests.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${OZU_QLIX_WIN_CACHE:-$HOME/.cache/ozu_qlix_win}
DIST=$ROOT/dist
started=${started:-$SECONDS}
step() { printf '== %s (%ds)\n' "$*" "$((SECONDS - started))"; }
mkdir -p "$CACHE" "$DIST"

# One run at a time per cache: a run lays out interpreters afresh and ends
# the wine prefix's processes. A script started by another one inherits the
# lock (descriptor 9) and does not take it again. Then the tools venv is
# made or brought up to date.
use_cache() {
    if [ "${OZU_QLIX_CACHE_LOCKED:-}" != "$CACHE" ]; then
        exec 9>"$CACHE/lock"
        flock -n 9 || { echo "waiting for another run using $CACHE" >&2; flock 9; }
        export OZU_QLIX_CACHE_LOCKED=$CACHE
    fi
    tools_venv
}

# The host's CPython X.Y: on PATH, or one of pyenv's X.Y builds. (pyenv's
# shim answers `command -v` but may refuse to run, so it is tried.)
host_python() {
    local version=$1 dir
    if "python$version" -c "" >/dev/null 2>&1; then
        command -v "python$version"
        return
    fi
    for dir in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin /root/.pyenv/versions/"$version".*/bin; do
        if [ -x "$dir/python$version" ]; then
            echo "$dir/python$version"
            return
        fi
    done
    echo "no CPython $version found (on PATH or in pyenv)" >&2
    return 1
}

# The tools venv (host CPython 3.12): zig, CMake, Ninja, the build backend
# (for metadata and the sdist), pefile (Windows imports), auditwheel (Linux
# platform tags).
TOOLS_REQ="ziglang==0.17.1 cmake>=3.26 ninja scikit-build-core>=1.0 pefile auditwheel>=6"
HOSTPY=$CACHE/tools/bin/python
tools_venv() {
    if [ "$(cat "$CACHE/tools/requirements" 2>/dev/null)" != "$TOOLS_REQ" ]; then
        step "tools venv: $TOOLS_REQ"
        rm -rf "$CACHE/tools"
        "$(host_python 3.12)" -m venv "$CACHE/tools"
        # shellcheck disable=SC2086
        "$HOSTPY" -m pip install -q $TOOLS_REQ
        echo "$TOOLS_REQ" >"$CACHE/tools/requirements"
    fi
    export PATH="$CACHE/tools/bin:$PATH"
    export ZIG="$HOSTPY -m ziglang" ZIG_GLOBAL_CACHE_DIR=$CACHE/zig
}

# "3.12" -> "312"
nodot() { echo "${1//./}"; }
