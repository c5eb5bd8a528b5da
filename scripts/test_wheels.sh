#!/usr/bin/env bash
# Tests what scripts/build_wheels.sh wrote to dist/, each file in a fresh
# environment of its own interpreter, never the source or build tree:
#
# - Linux cp311, cp312, cp313: a new venv of the host's CPython X.Y installs
#   the wheel with its test extras; scripts/installed_check.py confirms that
#   the package and the virtual USB library come from that venv's
#   site-packages; then ozu-qlix-demo and the whole suite (run from the
#   checkout with `python -P`, so the checkout is not on sys.path).
# - Linux cp314, cp315: the same in the Debian sid chroot (sid_chroot.sh,
#   built on first use) with its CPython X.Y, the checkout mounted inside.
# - sdist: a new venv of the host's CPython 3.12 builds and installs it (a
#   native compile), imports it and runs ozu-qlix-demo.
# - Windows: through scripts/windows_wine.sh test, the whole suite on cp312,
#   and on cp311 and cp313 the tests at the C API's edges ($WINDOWS_EDGE_TESTS).
#
# Exits non-zero if anything failed, after running everything. Prints one
# line per run at the end.
set -uo pipefail
# shellcheck source=wheel_env.sh
. "$(dirname "$0")/wheel_env.sh" || exit 1
# shellcheck source=sid_chroot.sh
. "$(dirname "$0")/sid_chroot.sh" || exit 1
cd "$ROOT"
VENVS=$ROOT/build/test_venvs
# The class surface, module initialisation, exit and Ctrl-C (interruptions by
# timer signal run only on POSIX) and everything end to end on virtual adapters.
WINDOWS_EDGE_TESTS=(tests/test_surface.py tests/test_module.py tests/test_exit.py tests/test_ctrl_c.py
    tests/test_e2e_sim.py tests/test_sim_usb.py tests/test_serial_url.py)
results=()
failed=0

# record NAME COMMAND...: runs it with its output shown, and keeps its
# status and pytest's summaries (the first run's and, when failed tests ran
# once more, that run's) for the summary.
record() {
    local name=$1 status log
    shift
    log=$(mktemp)
    "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    results+=("$(printf '%s\t%s\t%s' "$name" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" \
        "$(grep -E '^=+ .*(passed|failed|error).* =+$' "$log" | tr -d '=' | sed 's/^ *//; s/ *$//' | paste -sd '\t')")")
    rm -f "$log"
    [ "$status" -eq 0 ] || failed=1
    return 0
}

only() {
    local files=("$DIST"/$1)
    [ "${#files[@]}" -eq 1 ] && [ -f "${files[0]}" ] || { echo "expected one dist/$1, found: ${files[*]}" >&2; return 1; }
    echo "${files[0]}"
}

# fresh_venv DIR X.Y: a new venv of the host's CPython X.Y in DIR.
fresh_venv() {
    rm -rf "$1"
    "$(host_python "$2")" -m venv "$1"
}

# wheel_suite VENV WHEEL: installs WHEEL with its test extras into the fresh
# VENV, checks where it came from, runs the demo and the whole suite.
wheel_suite() {
    "$1/bin/python" -m pip install -q "$2[test]" || return 1
    "$1/bin/python" -P scripts/installed_check.py || return 1
    "$1/bin/ozu-qlix-demo" || return 1
    echo "== test suite"
    "$1/bin/python" -P -m pytest -p no:cacheprovider
}

linux_wheel() {
    local version=$1 xy venv wheel
    xy=$(nodot "$version")
    venv=$VENVS/linux-cp$xy
    wheel=$(only "ozu_qlix-*-cp$xy-cp$xy-manylinux*.whl") || return 1
    if is_sid_version "$version"; then
        step "Linux cp$xy (Debian sid chroot): fresh venv, $(basename "$wheel")"
        rm -rf "$venv"
        # The chroot runs this script's functions through a copy of them.
        sid_run /bin/bash -c "$(declare -f wheel_suite); cd '$ROOT' && python$version -m venv '$venv' &&
            wheel_suite '$venv' '$wheel'"
        return
    fi
    step "Linux cp$xy: fresh venv, $(basename "$wheel")"
    fresh_venv "$venv" "$version" || return 1
    wheel_suite "$venv" "$wheel"
}

sdist() {
    local venv=$VENVS/sdist sdist
    sdist=$(only "ozu_qlix-*.tar.gz") || return 1
    step "sdist: fresh venv (3.12), installing $(basename "$sdist") from source"
    fresh_venv "$venv" 3.12 || return 1
    "$venv/bin/python" -m pip install -q "$sdist" || return 1
    "$venv/bin/python" -P scripts/installed_check.py || return 1
    "$venv/bin/ozu-qlix-demo"
}

for version in 3.11 3.12 3.13 "${SID_VERSIONS[@]}"; do
    record "Linux cp$(nodot $version) wheel" linux_wheel "$version"
done
record "sdist" sdist
record "Windows cp312 wheel" scripts/windows_wine.sh test 3.12
for version in 3.11 3.13; do
    record "Windows cp$(nodot $version) wheel" scripts/windows_wine.sh test "$version" "${WINDOWS_EDGE_TESTS[@]}"
done

step "summary"
# One line per run, then every run's counts added up as one closing line: the
# first run's passed and skipped tests, those that passed when run once more,
# and what failed last (a run that failed outside pytest counts as one).
printf '%s\n' "${results[@]}" | awk -F '\t' '
    function count(text, what,   w, m, i, c) {
        m = split(text, w, /[ ,]+/)
        for (i = 2; i <= m; i++) if (w[i] ~ ("^" what "$")) c += w[i - 1]
        return c
    }
    { printf "%-22s %-6s %s%s\n", $1, $2, $3, (NF > 3 ? "; failed ones once more: " $4 : "")
      last = (NF > 3 ? $4 : $3)
      passed += count($3, "passed") + (NF > 3 ? count($4, "passed") : 0)
      skipped += count($3, "skipped")
      bad = count(last, "failed") + count(last, "errors?")
      failed += (bad == 0 && $2 != "ok") ? 1 : bad }
    END { printf "wheels: %d passed, %d failed, %d skipped\n", passed, failed, skipped }'
exit "$failed"
