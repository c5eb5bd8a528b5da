#!/usr/bin/env bash
# Runs a short leak check (scripts/leak_check.py, a few hundred operations of
# each kind) under valgrind's memcheck and fails on any block definitely lost
# by the extension or the virtual USB library.
#
#   scripts/valgrind.sh [--count N]
#
# PYTHONMALLOC=malloc makes every Python allocation visible to memcheck. The
# interpreter's own blocks still alive at exit are reported as "still
# reachable" or "possibly lost" and are not counted; a "definitely lost" block
# whose allocation stack passes through ozu_qlix or qlix_sim_usb is.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
build="${BUILD:-$root/build-rel}"
count=300
[ "${1:-}" = "--count" ] && count="$2"
command -v valgrind >/dev/null || { echo "valgrind not found" >&2; exit 1; }
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" >/dev/null

log="$build/valgrind.log"
# leak_check's own limits do not apply here (no block count with malloc), so
# its status is reported but only a crash fails this script.
set +e
PYTHONMALLOC=malloc PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --num-callers=40 \
    --log-file="$log" "$python" "$root/scripts/leak_check.py" --count "$count"
status=$?
set -e
[ "$status" -le 1 ] || { echo "leak_check under valgrind ended with status $status" >&2; exit 1; }

"$python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
ours = [r for r in records if "definitely lost" in r and re.search(r"ozu_qlix|qlix_sim_usb|/qlix/|/sim/", r)]
summary = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
print("valgrind: definitely lost overall:", summary.group(0) if summary else "none reported")
print("valgrind: definitely lost from ozu_qlix or the virtual USB library: %d records" % len(ours))
for r in ours:
    print(r)
sys.exit(1 if ours else 0)
PY
