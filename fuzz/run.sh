#!/usr/bin/env bash
# Builds the fuzz target of the packet walk and builders with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (clang), and runs it.
#
#   fuzz/run.sh                 # about a minute (CI)
#   fuzz/run.sh --runs 10000000 # a fixed number of inputs
#   fuzz/run.sh --seconds 600
#
# Any sanitizer report or failed check stops the run with a non-zero status and
# leaves the crashing input in fuzz/out/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
limit=(-max_total_time=60)
case "${1:-}" in
    --runs) limit=(-runs="$2") ;;
    --seconds) limit=(-max_total_time="$2") ;;
    "") ;;
    *) echo "usage: $0 [--runs N | --seconds S]" >&2; exit 2 ;;
esac
cxx="${CXX_FUZZ:-clang++}"
command -v "$cxx" >/dev/null || { echo "$cxx not found (apt-get install clang)" >&2; exit 1; }

out="$root/fuzz/out"
mkdir -p "$out/corpus"
"$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -Wall -Wextra -pedantic -I "$root/qlix" \
    "$root/fuzz/record_walker_fuzz.cpp" "$root/qlix/protocol.cpp" -o "$out/record_walker_fuzz"

# Seeds: a two-record packet, a control reply, a record running past the end,
# a command.
printf '\x00\x01\x03abc\x02\x01x\x00' > "$out/corpus/seed-two-records"
printf '\x00\x64\x02ok' > "$out/corpus/seed-control"
printf '\x00\x01\xffab' > "$out/corpus/seed-overrun"
printf '\x00\x65Config 9600\n' > "$out/corpus/seed-command"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$out"
./record_walker_fuzz "${limit[@]}" -max_len=300 -print_final_stats=1 -artifact_prefix="$out/" corpus
