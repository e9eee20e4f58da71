#!/usr/bin/env bash
# Replays every checked-in input, then fuzzes one harness for a bounded time.
#   run_fuzzer.sh FUZZER SECONDS
# FUZZER is build/fuzz/vxd_mount_fuzzer (CreateVXD; seeds in corpus/, fixed faults in
# regressions/) or build/fuzz/vxd_scenario_fuzzer (the scenario reader; seeds in
# scenario_corpus/ and the examples in scenarios/, fixed faults in scenario_regressions/, the
# schema's keys in scenario.dict). New inputs collect in the fuzzer's build directory, in a
# folder named as the seeds' folder; a failing one is kept there too.
set -euo pipefail
fuzzer=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(cd "$(dirname "$fuzzer")" && pwd)
case "$(basename "$fuzzer")" in
vxd_scenario_fuzzer)
  name=scenario
  seeds=("$here/scenario_corpus" "$here/../scenarios")
  regressions="$here/scenario_regressions"
  corpus="$work/scenario_corpus"
  # Long enough to nest past the reader's limit and to hold long names.
  options=(-dict="$here/scenario.dict" -max_len=16384)
  ;;
*)
  name=mount
  seeds=("$here/corpus")
  regressions="$here/regressions"
  corpus="$work/corpus"
  options=()
  ;;
esac
mkdir -p "$corpus" "$work/artifacts"
log="$work/$name-fuzz.log"

show_failure() {
  # Inputs that cannot be allocated are part of the game; their warnings are noise here.
  grep -v 'WARNING: AddressSanitizer failed to allocate' "$log" | tail -60
  echo "fuzz: $name: FAILED: $1 (replay one input: $fuzzer FILE)"
  exit 1
}

# Inputs that once broke something, and the seeds, must pass as they are.
checked_in=()
for dir in "$regressions" "${seeds[@]}"; do
  [ -d "$dir" ] && checked_in+=("$dir")
done
if ! "$fuzzer" -runs=0 "${checked_in[@]}" >"$log" 2>&1; then
  show_failure "a checked-in input breaks an invariant"
fi
replayed=$(find "${checked_in[@]}" -type f | wc -l)

if ! "$fuzzer" "${options[@]}" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
     -artifact_prefix="$work/artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
  show_failure "the failing input is in $work/artifacts/"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzz: $name: $replayed checked-in inputs replayed; $runs executions in $seconds s," \
     "no invariant broken, no sanitizer report"
