#!/usr/bin/env bash
# Replays every checked-in input, then fuzzes CreateVXD for a bounded time.
#   run_fuzzer.sh FUZZER SECONDS
# New inputs collect in the fuzzer's build directory; a failing one is kept there too.
set -euo pipefail
fuzzer=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(cd "$(dirname "$fuzzer")" && pwd)
mkdir -p "$work/corpus" "$work/artifacts"
log="$work/fuzz.log"

show_failure() {
  # Inputs that cannot be allocated are part of the game; their warnings are noise here.
  grep -v 'WARNING: AddressSanitizer failed to allocate' "$log" | tail -60
  echo "fuzz: FAILED: $1 (replay one input: $fuzzer FILE; VXD_FUZZ_TRACE=1 shows what it did)"
  exit 1
}

# Inputs that once broke something, and the seeds, must pass as they are.
checked_in=()
for dir in "$here/regressions" "$here/corpus"; do
  [ -d "$dir" ] && checked_in+=("$dir")
done
if ! "$fuzzer" -runs=0 "${checked_in[@]}" >"$log" 2>&1; then
  show_failure "a checked-in input breaks an invariant"
fi
replayed=$(find "${checked_in[@]}" -type f | wc -l)

if ! "$fuzzer" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
     -artifact_prefix="$work/artifacts/" "$work/corpus" "$here/corpus" >"$log" 2>&1; then
  show_failure "the failing input is in $work/artifacts/"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzz: $replayed checked-in inputs replayed; $runs executions in $seconds s," \
     "no invariant broken, no sanitizer report"
