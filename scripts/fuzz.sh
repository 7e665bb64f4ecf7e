#!/usr/bin/env bash
# Builds the state_fuzz libFuzzer target with clang, writes its seed corpus
# and fuzzes for SECONDS. Prints the number of executions; exits non-zero on
# any crash, sanitizer report, timeout or out-of-memory.
#
#   scripts/fuzz.sh SECONDS
# BUILD_DIR (default build-fuzz) chooses the build directory; the growing
# corpus stays in BUILD_DIR/fuzz-corpus between runs, crash inputs go to
# BUILD_DIR/fuzz-artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -ne 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
seconds=$1
build_dir=${BUILD_DIR:-build-fuzz}

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
  -DVANTORELLE_BUILD_FUZZ=ON -DVANTORELLE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target state_fuzz state_seed_corpus -j2 >/dev/null

seeds="$build_dir/seed-corpus"
corpus="$build_dir/fuzz-corpus"
artifacts="$build_dir/fuzz-artifacts"
log="$build_dir/fuzz.log"
rm -rf "$seeds"
mkdir -p "$corpus" "$artifacts"
"$build_dir/tests/fuzz/state_seed_corpus" "$seeds"

status=0
"$build_dir/tests/fuzz/state_fuzz" \
  -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "state_fuzz: ${executions:-unknown} executions in ${seconds} s (log: $log)"

crashes=$(find "$artifacts" -type f -newer "$seeds" | wc -l)
if ((status != 0)) || ((crashes > 0)) || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|invariant broken' "$log"; then
  echo "state_fuzz: FAILED (exit status $status)" >&2
  grep -E '==ERROR|SUMMARY: |invariant broken|runtime error|Test unit written' "$log" >&2 || true
  exit 1
fi
echo "state_fuzz: no crash"
