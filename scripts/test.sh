#!/usr/bin/env bash
# Sets up the machine, builds the SDK and runs the whole test suite:
#   1. a normal build (RelWithDebInfo) with every test, the installed-package consumer and the benchmarks built,
#      then the tests that need kernel drivers, in a throw-away VM (tests/vm) when one can start here;
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build with clang (so CI covers both compilers),
#      with strict initialisation-order checking, running every test, then every fuzz target for a
#      short time from its corpus (scripts/fuzz-ci.sh);
#   3. a ThreadSanitizer build running the tests labelled "threaded".
# Each stage prints how long it took.
# Usage: scripts/test.sh [--quick]   (--quick: normal build only)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1

STAGE_START=$SECONDS
stage_done() { # name
  echo "=== [$1] took $((SECONDS - STAGE_START)) s"
  STAGE_START=$SECONDS
}

bash scripts/install-deps.sh
stage_done install-deps

run_build() { # name, ctest-args, cmake-args...
  local name=$1; shift
  local ctest_args=$1; shift
  local dir="$ROOT/build/$name"
  echo "=== [$name] configure"
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  echo "=== [$name] build"
  cmake --build "$dir" -j "$JOBS" 2>&1 | grep -E "warning|error|Error" || true
  cmake --build "$dir" -j "$JOBS" >/dev/null
  stage_done "$name build"
  echo "=== [$name] test"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" $ctest_args)
  stage_done "$name test"
}

run_build normal "-LE vm" -DQUELNOR_SANITIZE=

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
  export ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0:check_initialization_order=1:strict_init_order=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  CC=clang CXX=clang++ run_build asan "" -DQUELNOR_SANITIZE=address,undefined -DQUELNOR_BUILD_BENCH=OFF \
    -DQUELNOR_FUZZ=ON
  echo "=== [fuzz] every fuzz target for a short time from its corpus"
  fuzz_rc=0
  bash scripts/fuzz-ci.sh "$ROOT/build/asan" || fuzz_rc=$?
  if [ "$fuzz_rc" -eq 77 ]; then
    echo "=== [fuzz] SKIPPED: this compiler has no libFuzzer"
  elif [ "$fuzz_rc" -ne 0 ]; then
    exit "$fuzz_rc"
  fi
  stage_done fuzz
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  run_build tsan "-L threaded" -DQUELNOR_SANITIZE=thread -DQUELNOR_BUILD_BENCH=OFF
fi
echo "=== all test builds passed"
