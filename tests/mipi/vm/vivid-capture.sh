#!/bin/bash
# Guest side of the vivid capture test (runs inside the throw-away VM with vivid loaded as two instances:
# the first single-planar, the second multi-planar). Finds their capture nodes and runs the test program.
# Usage: vivid-capture.sh TEST_PROGRAM [gtest arguments]
set -u
node_named() {
  for dir in /sys/class/video4linux/video*; do
    if [ "$(cat "$dir/name" 2>/dev/null)" = "$1" ]; then echo "/dev/$(basename "$dir")"; return 0; fi
  done
  return 1
}
QUELNOR_VIVID_DEVICE=$(node_named vivid-000-vid-cap) || { echo "no vivid single-planar capture node"; exit 1; }
QUELNOR_VIVID_MPLANE_DEVICE=$(node_named vivid-001-vid-cap) || { echo "no vivid multi-planar capture node"; exit 1; }
export QUELNOR_VIVID_DEVICE QUELNOR_VIVID_MPLANE_DEVICE
echo "vivid nodes: $QUELNOR_VIVID_DEVICE (single-planar), $QUELNOR_VIVID_MPLANE_DEVICE (multi-planar)"
exec "$@"
