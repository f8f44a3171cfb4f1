#!/usr/bin/env bash
# Configures and builds one tree of the test run: scripts/build-tree.sh NAME TARGET [CMAKE-ARGS...]
# The tree is build/NAME (RelWithDebInfo); TARGET is a build target ("all": everything). Prints only
# the compiler's warning and error lines, and fails when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)
name=$1; shift
target=$1; shift
dir="$ROOT/build/$name"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$JOBS" --target "$target" 2>&1 | grep -E "warning|error|Error" || true
cmake --build "$dir" -j "$JOBS" --target "$target" >/dev/null
