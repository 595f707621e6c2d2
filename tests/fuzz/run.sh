#!/usr/bin/env bash
# Runs every fuzzer for a bounded time, one after the other, from the generated seeds, the
# corpus earlier runs grew and the findings kept as regressions. Prints executions and findings
# per fuzzer and exits 1 when any fuzzer found something; its input is left in
# BUILD/findings/<fuzzer>/ and the fuzzer's output in BUILD/logs/<fuzzer>.log.
#
# usage: tests/fuzz/run.sh BUILD SECONDS
set -euo pipefail

build=$1
seconds=$2
source_dir=$(cd "$(dirname "$0")" && pwd)

# The harnesses create and remove files at every execution: in memory that is several times faster.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

rm -rf "$build/seeds"
"$build/bin/tflux-krn-fuzz-seeds" "$build/seeds"
mkdir -p "$build/logs"

failed=0
for seeds in "$build"/seeds/*/; do
  name=$(basename "$seeds")
  corpus=$build/corpus/$name
  findings=$build/findings/$name
  log=$build/logs/$name.log
  mkdir -p "$corpus" "$findings"
  dirs=("$corpus" "$seeds")
  [ -d "$source_dir/regressions/$name" ] && dirs+=("$source_dir/regressions/$name")
  status=0
  # Slow inputs count as findings too: 10 s for one input is a hang for any of these parsers.
  "$build/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dirs[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    printf '%-14s %10s executions, no findings\n' "$name" "${runs:-?}"
  else
    failed=1
    printf '%-14s %10s executions, FINDING (exit %d): see %s and %s\n' \
      "$name" "${runs:-?}" "$status" "$log" "$findings"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|terminate called|  what\(\))' "$log" | head -n 5 || true
  fi
done
exit "$failed"
