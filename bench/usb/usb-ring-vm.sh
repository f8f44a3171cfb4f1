#!/usr/bin/env bash
# Runs the USB ring benchmark inside the throw-away VM, against the camera gadgets of the USB VM
# test (tests/usbvm/usb-gadgets.sh): Debian's kernel under qemu with software emulation (no KVM), so
# the figure says what the SDK's path through usbfs and dummy_hcd does on an emulated CPU, not what
# a camera on real hardware gets.
#
# Usage: bench/usb/usb-ring-vm.sh [BUILD_DIR] [--super-speed] [benchmark arguments...]
#   BUILD_DIR      a build with benchmarks and tests (default build/dev)
#   --super-speed  dummy_hcd as a SuperSpeed controller (default: high speed, like a USB 2 port)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$ROOT/build/dev
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then BUILD=$(cd "$1" && pwd); shift; fi
SPEED=""
if [ "${1:-}" = "--super-speed" ]; then SPEED=" is_super_speed=1"; shift; fi
for program in "$BUILD/tests/usbvm/usbcam_gadget" "$BUILD/bench/usb/usb_ring_bench"; do
  [ -x "$program" ] || { echo "usb-ring-vm: $program not built (cmake --build $BUILD --target usbcam_gadget usb_ring_bench)"; exit 2; }
done
exec "$ROOT/tests/vm/run-in-vm.sh" --timeout 900 \
  --modprobe "dummy_hcd num=3$SPEED" --modprobe libcomposite --modprobe usb_f_fs \
  -- "$ROOT/tests/usbvm/usb-gadgets.sh" "$BUILD/tests/usbvm/usbcam_gadget" \
  -- "$BUILD/bench/usb/usb_ring_bench" "$@"
