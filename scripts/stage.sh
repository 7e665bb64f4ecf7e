#!/usr/bin/env bash
# Runs one stage of `make test` and records how long it took.
#
#   scripts/stage.sh NAME TIMES_FILE COMMAND...
#
# Appends "NAME  SECONDS s" to TIMES_FILE (printed at the end of the run, so
# that where the time went is visible in every CI log) and exits with the
# command's status.
set -uo pipefail
name=$1
times=$2
shift 2
echo "=== $name"
start=$(date +%s%N)
"$@"
status=$?
tenths=$((($(date +%s%N) - start) / 100000000))
printf '%-34s %5d.%d s%s\n' "$name" $((tenths / 10)) $((tenths % 10)) "$( ((status)) && echo '  FAILED')" | tee -a "$times"
exit "$status"
