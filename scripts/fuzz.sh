#!/usr/bin/env bash
# Runs one fuzz target by hand for a while: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# Builds the clang fuzz tree (build/fuzz) first when needed. New inputs go to build/fuzz/work/TARGET,
# the committed seeds (tests/fuzz/corpus/TARGET) are read only; a crash, leak or timeout input is
# written to build/fuzz/artifacts/TARGET/ and printed. Targets: see scripts/fuzz-common.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/fuzz-common.sh

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]   targets: $FUZZ_TARGETS" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
case " $FUZZ_TARGETS " in
  *" $target "*) ;;
  *) echo "unknown target $target; targets: $FUZZ_TARGETS" >&2; exit 2 ;;
esac

BUILD=${FUZZ_BUILD_DIR:-$ROOT/build/fuzz}
fuzz_build "$BUILD"
work="$BUILD/work/$target"
artifacts="$BUILD/artifacts/$target"
mkdir -p "$work" "$artifacts"
rc=0
"$BUILD/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$work" "$ROOT/tests/fuzz/corpus/$target" || rc=$?
shopt -s nullglob
for file in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
  fuzz_show_input "$file"
done
exit $rc
