#!/usr/bin/env bash
# Runs every fuzz target for a short fixed time from its committed corpus, in parallel:
#   scripts/fuzz-ci.sh BUILD_DIR
# BUILD_DIR is a clang tree configured with -DQUELNOR_FUZZ=ON (configured and built here when it has no
# targets yet). Fails (exit 1) on a crash, a sanitizer report, a leak or a timeout, printing the
# target, the end of its log and the input in hex (also kept in BUILD_DIR/fuzz-ci-artifacts/). Exits 77 when no libFuzzer is at hand.
# FUZZ_CI_SECONDS (default 50) is each target's time; FUZZ_CI_JOBS (default 8) how many run at once.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/fuzz-common.sh

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BUILD=$(realpath -m "$1")
SECONDS_EACH=${FUZZ_CI_SECONDS:-50}
JOBS=${FUZZ_CI_JOBS:-8}

fuzz_build "$BUILD"
status=$?
[ $status -eq 0 ] || exit $status

RUN=$(mktemp -d "${TMPDIR:-/tmp}/quelnor-fuzz-ci-XXXXXX")
trap 'rm -rf "$RUN"' EXIT

run_target() { # target
  local target=$1
  local dir="$RUN/$target"
  mkdir -p "$dir/new" "$dir/artifacts" "$dir/tmp"
  local rc=0
  # -timeout: one input running longer is a finding (a hang); the overall time is max_total_time.
  # The target's scratch files go with the run, also when the target crashed.
  QUELNOR_FUZZ_TMP="$dir/tmp" "$BUILD/tests/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/new" "$ROOT/tests/fuzz/corpus/$target" \
    >"$dir/log" 2>&1 || rc=$?
  echo $rc >"$dir/rc"
}

echo "=== [fuzz] $(echo $FUZZ_TARGETS | wc -w) targets, ${SECONDS_EACH}s each, $JOBS at a time"
pids=()
for target in $FUZZ_TARGETS; do
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do
    wait -n || true
  done
  run_target "$target" &
  pids+=($!)
done
wait

failed=0
shopt -s nullglob
for target in $FUZZ_TARGETS; do
  dir="$RUN/$target"
  rc=$(cat "$dir/rc" 2>/dev/null || echo 1)
  artifacts=("$dir"/artifacts/crash-* "$dir"/artifacts/leak-* "$dir"/artifacts/timeout-* "$dir"/artifacts/oom-*)
  runs=$(grep -o "stat::number_of_executed_units: *[0-9]*" "$dir/log" | grep -o "[0-9]*$" || echo "?")
  cov=$(grep -o "cov: [0-9]*" "$dir/log" | tail -1 | grep -o "[0-9]*" || echo "?")
  if [ "$rc" -ne 0 ] || [ ${#artifacts[@]} -ne 0 ]; then
    failed=1
    echo "=== [fuzz] FAILED: $target (exit $rc)"
    # The report's first lines (which error, where), then the end of the log.
    grep -E -m 8 "runtime error:|ERROR: [A-Za-z]+Sanitizer|ERROR: libFuzzer|FUZZ CHECK FAILED|SUMMARY:" "$dir/log"
    echo "--- end of the log:"
    tail -n 40 "$dir/log"
    mkdir -p "$BUILD/fuzz-ci-artifacts/$target"
    for file in "${artifacts[@]}"; do
      fuzz_show_input "$file"
      cp "$file" "$BUILD/fuzz-ci-artifacts/$target/"
    done
    echo "=== [fuzz] inputs kept in $BUILD/fuzz-ci-artifacts/$target/; reproduce: $BUILD/tests/fuzz/fuzz_$target FILE"
  else
    echo "=== [fuzz] $target: $runs runs, coverage $cov, no finding"
  fi
done
if [ $failed -ne 0 ]; then
  echo "=== [fuzz] a fuzz target failed"
  exit 1
fi
echo "=== [fuzz] all targets ran without a finding"
