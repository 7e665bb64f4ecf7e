#!/usr/bin/env bash
# Builds the libFuzzer targets in the sanitized tree (scripts/sanitized_build.sh)
# and fuzzes each named target for SECONDS, one after the other (default: every target). Prints the number of
# executions per target; exits non-zero on any crash, sanitizer report,
# broken invariant, timeout or out-of-memory.
#
#   scripts/fuzz.sh SECONDS [TARGET...]      TARGET: state, merge, grouped, arrow
#
# Seeds: the committed corpus tests/fuzz/corpus/TARGET (read only) and the
# inputs that TARGET_seed_corpus writes. BUILD_DIR (default build-sanitize)
# chooses the build directory; the growing corpus stays in
# BUILD_DIR/fuzz-corpus/TARGET between runs, crash inputs go to
# BUILD_DIR/fuzz-artifacts/TARGET, the log to BUILD_DIR/fuzz-TARGET.log.
#
# Inputs are scheduled by execution time as well as by coverage
# (-entropic_scale_per_exec_time): an input whose sketch has 2^24 registers
# runs some hundred times longer than a small one, and picking it as often
# would spend most of the run on a few such inputs. They stay in the corpus
# and are still run and mutated.
set -euo pipefail
cd "$(dirname "$0")/.."

ALL_TARGETS=(state merge grouped arrow)
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]   (targets: ${ALL_TARGETS[*]})" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
if ((${#targets[@]} == 0)); then targets=("${ALL_TARGETS[@]}"); fi
for target in "${targets[@]}"; do
  if [[ ! " ${ALL_TARGETS[*]} " =~ " ${target} " ]]; then
    echo "$0: unknown target '$target' (targets: ${ALL_TARGETS[*]})" >&2
    exit 2
  fi
done
build_dir=${BUILD_DIR:-build-sanitize}

build_targets=()
for target in "${targets[@]}"; do build_targets+=("${target}_fuzz" "${target}_seed_corpus"); done
bash scripts/sanitized_build.sh "$build_dir" "${build_targets[@]}" >/dev/null

failed=0
for target in "${targets[@]}"; do
  seeds="$build_dir/seed-corpus/$target"
  corpus="$build_dir/fuzz-corpus/$target"
  committed="tests/fuzz/corpus/$target"
  artifacts="$build_dir/fuzz-artifacts/$target"
  log="$build_dir/fuzz-$target.log"
  rm -rf "$seeds"
  mkdir -p "$corpus" "$artifacts"
  "$build_dir/tests/fuzz/${target}_seed_corpus" "$seeds" >/dev/null
  seed_dirs=("$seeds")
  if [[ -d $committed ]]; then seed_dirs+=("$committed"); fi

  status=0
  "$build_dir/tests/fuzz/${target}_fuzz" \
    -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -entropic_scale_per_exec_time=1 \
    -artifact_prefix="$artifacts/" "$corpus" "${seed_dirs[@]}" >"$log" 2>&1 || status=$?

  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  echo "${target}_fuzz: ${executions:-unknown} executions in ${seconds} s (${rate:-?}/s; log: $log)"

  crashes=$(find "$artifacts" -type f -newer "$seeds" | wc -l)
  if ((status != 0)) || ((crashes > 0)) || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|invariant broken' "$log"; then
    echo "${target}_fuzz: FAILED (exit status $status)" >&2
    grep -E '==ERROR|SUMMARY: |invariant broken|internal failure|runtime error|Test unit written' "$log" >&2 || true
    failed=1
  else
    echo "${target}_fuzz: no crash"
  fi
done
exit "$failed"
