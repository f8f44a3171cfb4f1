#!/usr/bin/env bash
# Runs the whole non-VM test suite several times on a loaded machine, to bring out tests that only pass
# when they get the CPU in time: twice as many tests in parallel as there are cores, and one busy loop
# per core beside them. Lists every test that failed in any round; exits 1 when there was one.
# Usage: scripts/stress-tests.sh [ROUNDS]   (default 3; reuses build/normal, building it when needed)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
ROUNDS=${1:-3}
CORES=$(nproc)
JOBS=$((2 * CORES))
BUILD="$ROOT/build/normal"
LOGS="$BUILD/stress"

bash scripts/install-deps.sh
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELNOR_SANITIZE= >/dev/null
fi
cmake --build "$BUILD" -j "$CORES" >/dev/null

load_pids=()
stop_load() {
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_load EXIT
for _ in $(seq "$CORES"); do
  (while :; do :; done) &
  load_pids+=($!)
done

rm -rf "$LOGS"
mkdir -p "$LOGS"
declare -A failed_in=()
for round in $(seq "$ROUNDS"); do
  echo "=== [stress] round $round of $ROUNDS: ctest -j $JOBS with $CORES busy loops beside it"
  rm -f "$BUILD/Testing/Temporary/LastTestsFailed.log"
  rc=0
  (cd "$BUILD" && ctest -j "$JOBS" -LE vm --output-on-failure) >"$LOGS/round-$round.log" 2>&1 || rc=$?
  grep -E "tests passed|tests failed" "$LOGS/round-$round.log" || true
  if [ -f "$BUILD/Testing/Temporary/LastTestsFailed.log" ]; then
    while IFS=: read -r _ name; do
      failed_in[$name]="${failed_in[$name]:-} $round"
    done <"$BUILD/Testing/Temporary/LastTestsFailed.log"
  elif [ "$rc" -ne 0 ]; then
    failed_in["(ctest itself, exit $rc)"]="${failed_in["(ctest itself, exit $rc)"]:-} $round"
  fi
done
stop_load
trap - EXIT

if [ ${#failed_in[@]} -eq 0 ]; then
  echo "=== [stress] no test failed in $ROUNDS rounds"
  exit 0
fi
echo "=== [stress] tests that failed (rounds; logs in $LOGS):"
for name in "${!failed_in[@]}"; do
  echo "  $name: round${failed_in[$name]}"
done
exit 1
