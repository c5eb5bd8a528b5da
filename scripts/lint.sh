#!/usr/bin/env bash
# Lint, format and type checks of the tree, with the versions pinned in
# pyproject.toml's `dev` extra (python -m pip install ".[dev]"):
#   ruff          lint and format check of every Python file (settings in pyproject.toml)
#   clang-format  the C++ of qlix/, sim/, fuzz/ and scripts/linux/ (.clang-format)
#   mypy          ozu_qlix_serial, ozu_qlix_sim, ozu_qlix_cli and the extension's stubs ([tool.mypy])
#
#   scripts/lint.sh                 checks everything; exit status 1 on any finding
#   scripts/lint.sh --fix           applies ruff's fixes and both formatters first, then checks
#   scripts/lint.sh [--fix] ruff    only the named checks (ruff, clang-format, mypy)
#
# Used by .ci/run and .pre-commit-config.yaml.
set -uo pipefail
cd "$(dirname "$0")/.."

fix=0
checks=()
for arg in "$@"; do
    case "$arg" in
        --fix) fix=1 ;;
        ruff | clang-format | mypy) checks+=("$arg") ;;
        *) echo "usage: scripts/lint.sh [--fix] [ruff] [clang-format] [mypy]" >&2; exit 2 ;;
    esac
done
[ ${#checks[@]} -eq 0 ] && checks=(ruff clang-format mypy)

status=0
fail() { echo "lint: $1" >&2; status=1; }
need() {
    command -v "$1" >/dev/null 2>&1 && return 0
    fail "$1 not found: install the checkers with python -m pip install \".[dev]\""
    return 1
}
# Tracked files and new ones not ignored, so a file not yet added is checked too.
tree_files() { git ls-files --cached --others --exclude-standard -- "$@" | sort -u | while read -r f; do [ -f "$f" ] && echo "$f"; done; }

for check in "${checks[@]}"; do
    case "$check" in
        ruff)
            need ruff || continue
            if [ "$fix" -eq 1 ]; then
                ruff check --fix --quiet . || true
                ruff format --quiet .
            fi
            ruff check . || fail "ruff check found problems"
            ruff format --check . || fail "ruff format would change the files listed"
            ;;
        clang-format)
            need clang-format || continue
            mapfile -t cxx < <(tree_files 'qlix/*.cpp' 'qlix/*.hpp' 'sim/*.cpp' 'sim/*.hpp' 'fuzz/*.cpp' 'scripts/linux/*.cpp')
            [ "$fix" -eq 1 ] && clang-format -i "${cxx[@]}"
            clang-format --dry-run -Werror "${cxx[@]}" || fail "clang-format would change the files above"
            ;;
        mypy)
            need mypy || continue
            mypy || fail "mypy found problems"
            ;;
    esac
done
exit "$status"
