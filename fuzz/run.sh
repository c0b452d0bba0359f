#!/usr/bin/env bash
# Builds the "fuzz" preset and runs every fuzz target for SECONDS (default 60) on a copy of its
# seed corpus in fuzz/corpus/<target>/, so the committed seeds stay as they are. Fails when any
# target crashes, leaks or breaks a property; the input that did it is kept in
# build-fuzz/crashes/<target>/ and the whole log in build-fuzz/logs/<target>.log.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_targets
targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(ls fuzz/corpus)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "build-fuzz/crashes/$t" build-fuzz/logs
  cp fuzz/corpus/"$t"/* "$work/$t/corpus/"
  log=build-fuzz/logs/$t.log
  echo "== fuzz: $t for ${seconds}s from $(ls fuzz/corpus/"$t" | wc -l) seeds"
  if "build-fuzz/bin/$t" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$t/" "$work/$t/corpus" \
    >"$log" 2>&1; then
    echo "== fuzz: $t: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)" \
      "executions, corpus grew to $(ls "$work/$t/corpus" | wc -l) inputs, no crash"
  else
    echo "== fuzz: $t FAILED; the last lines of $log:"
    tail -n 40 "$log"
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz: failed: ${failed[*]} (inputs in build-fuzz/crashes/)" >&2
  exit 1
fi
echo "== fuzz: all ${#targets[@]} targets ran ${seconds}s each without a crash"
