#!/usr/bin/env bash
# Sets up the machine, builds the SDK and runs the whole test suite:
#   1. a normal build (RelWithDebInfo) with every test, the installed-package consumer and the benchmarks built,
#      then the tests that need kernel drivers, in a throw-away VM (tests/vm) when one can start here;
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build with clang (so CI covers both compilers),
#      with strict initialisation-order checking, running every test, then every fuzz target for a
#      short time from its corpus (scripts/fuzz-ci.sh);
#   3. a ThreadSanitizer build of just what the tests labelled "threaded" need, running them.
# The tests mostly wait on sockets, devices and child programs, so each sanitizer tree is built beside the
# tests of the stage before it, at a lower priority: the tests keep the CPU they need, the build takes the
# rest. Each stage prints how long it took.
# Usage: scripts/test.sh [--quick]   (--quick: normal build only)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1
BACKGROUND_NICENESS=10

STAGE_START=$SECONDS
stage_done() { # name
  echo "=== [$1] took $((SECONDS - STAGE_START)) s"
  STAGE_START=$SECONDS
}

bash scripts/install-deps.sh
stage_done install-deps

# A sanitizer tree builds in a session of its own (so a failing run can stop all of it) at a lower
# priority; its output goes to build/<name>.log.
BACKGROUND_PID=""
BACKGROUND_NAME=""
BACKGROUND_START=0
start_background_build() { # name, build-target, cmake-args...
  BACKGROUND_NAME=$1
  BACKGROUND_START=$SECONDS
  mkdir -p "$ROOT/build"
  echo "=== [$1] configure and build in the background (log: build/$1.log)"
  setsid nice -n "$BACKGROUND_NICENESS" bash scripts/build-tree.sh "$@" >"$ROOT/build/$1.log" 2>&1 &
  BACKGROUND_PID=$!
}
# Waits for the background build; prints its warnings and errors, and fails when it failed.
finish_background_build() {
  local rc=0
  wait "$BACKGROUND_PID" || rc=$?
  BACKGROUND_PID=""
  cat "$ROOT/build/$BACKGROUND_NAME.log"
  echo "=== [$BACKGROUND_NAME build] finished $((SECONDS - BACKGROUND_START)) s after it started"
  if [ "$rc" -ne 0 ]; then
    echo "=== [$BACKGROUND_NAME build] failed"
    exit "$rc"
  fi
}
stop_background_build() {
  if [ -n "$BACKGROUND_PID" ]; then
    kill -- -"$BACKGROUND_PID" 2>/dev/null || true
  fi
}
trap stop_background_build EXIT

run_tests() { # name, ctest-args...
  local name=$1; shift
  echo "=== [$name] test"
  (cd "$ROOT/build/$name" && ctest --output-on-failure -j "$JOBS" "$@")
  stage_done "$name test"
}

echo "=== [normal] configure and build"
bash scripts/build-tree.sh normal all -DQUELNOR_SANITIZE=
stage_done "normal build"

if [ "$QUICK" -eq 0 ]; then
  export ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0:check_initialization_order=1:strict_init_order=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  CC=clang CXX=clang++ start_background_build asan all -DQUELNOR_SANITIZE=address,undefined \
    -DQUELNOR_BUILD_BENCH=OFF -DQUELNOR_FUZZ=ON
fi

run_tests normal -LE vm

echo "=== [vm] tests against kernel drivers in a throw-away VM"
vm_rc=0
vm_reason=$(bash tests/vm/run-in-vm.sh --check 2>&1) || vm_rc=$?
if [ "$vm_rc" -eq 0 ]; then
  (cd "$ROOT/build/normal" && ctest --output-on-failure -L vm) | tee "$ROOT/build/normal/vm-tests.log"
  if grep -q "Skipped" "$ROOT/build/normal/vm-tests.log"; then
    echo "=== [vm] SKIPPED: the VM did not come up (ctest -V -L vm in build/normal shows why)"
  fi
elif [ "$vm_rc" -eq 77 ]; then
  echo "=== [vm] SKIPPED: VM tests not run: ${vm_reason##*$'\n'}"
else
  echo "$vm_reason"
  echo "=== [vm] preparing the VM failed"
  exit 1
fi
stage_done vm

echo "=== [consumer] install and build an application against the installed package"
PREFIX="$ROOT/build/install"
rm -rf "$PREFIX"
cmake --install "$ROOT/build/normal" --prefix "$PREFIX" >/dev/null
cmake -S "$ROOT/tests/consumer" -B "$ROOT/build/consumer" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$ROOT/build/consumer" -j "$JOBS" >/dev/null
env -u LD_LIBRARY_PATH "$ROOT/build/consumer/quelnor_consumer"
stage_done consumer

if [ "$QUICK" -eq 0 ]; then
  finish_background_build
  stage_done "rest of the asan build"
  start_background_build tsan quelnor_threaded_tests -DQUELNOR_SANITIZE=thread -DQUELNOR_BUILD_BENCH=OFF
  run_tests asan
  echo "=== [fuzz] every fuzz target for a short time from its corpus"
  fuzz_rc=0
  bash scripts/fuzz-ci.sh "$ROOT/build/asan" || fuzz_rc=$?
  if [ "$fuzz_rc" -eq 77 ]; then
    echo "=== [fuzz] SKIPPED: this compiler has no libFuzzer"
  elif [ "$fuzz_rc" -ne 0 ]; then
    exit "$fuzz_rc"
  fi
  stage_done fuzz
  finish_background_build
  stage_done "rest of the tsan build"
  run_tests tsan -L threaded
fi
echo "=== all test builds passed"
