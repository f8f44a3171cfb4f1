#!/usr/bin/env bash
# Runs one guest script inside a throw-away VM: Debian's stock kernel under qemu (software emulation, no
# network), the host's root file system visible read-only at the same paths (writes go to a tmpfs overlay),
# the requested kernel modules loaded first. Use it for tests that need kernel drivers the host lacks
# (vivid for V4L2, dummy_hcd + usb_f_fs for USB gadgets).
#
# Usage: tests/vm/run-in-vm.sh [options] [--] GUEST_SCRIPT [ARGS...]
#   --modprobe "NAME [PARAM=VALUE ...]"  load a module (with its dependencies) before the script; repeatable.
#                                        The modules on offer are listed in build-vm.sh (VM_MODULES).
#   --env NAME=VALUE                     set a variable for the script; repeatable.
#   --timeout SECONDS                    limit for the whole VM run (default 300, or $QUELNOR_VM_TIMEOUT).
#   --check                              only report whether a VM can start here (exit 0 or 77).
# The script runs as root with bash, in the caller's working directory, with PATH set to the usual system
# folders. Its output is printed after the run.
#
# Exit status: the script's own status (0 passed, anything else failed; a script may itself answer 77 to
# skip), except:
#   77  skipped: the VM cannot start on this machine (no qemu, no kernel package, the guest never came up);
#       the reason is printed on a line starting "run-in-vm: SKIPPED:".
#   124 failed: the guest started the script but did not finish within the time-out.
#   2   usage error.
# Environment: QUELNOR_VM_CACHE (default <repo>/build/vm-cache), QUELNOR_VM_ACCEL (default TCG; KVM hangs on
# nested machines), QUELNOR_VM_TIMEOUT.
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${QUELNOR_VM_CACHE:-$ROOT/build/vm-cache}
TIMEOUT=${QUELNOR_VM_TIMEOUT:-300}
ACCEL=${QUELNOR_VM_ACCEL:--accel tcg,thread=multi -cpu max}
MODULES=()
ENVS=()
CHECK=0

usage() { sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
skip() { echo "run-in-vm: SKIPPED: $*"; exit 77; }

while [ $# -gt 0 ]; do
  case "$1" in
    --modprobe) [ $# -ge 2 ] || usage; MODULES+=("$2"); shift 2 ;;
    --env) [ $# -ge 2 ] || usage; case "$2" in *=*) ;; *) usage ;; esac; ENVS+=("$2"); shift 2 ;;
    --timeout) [ $# -ge 2 ] || usage; TIMEOUT=$2; shift 2 ;;
    --check) CHECK=1; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
if [ "$CHECK" -eq 0 ] && [ $# -lt 1 ]; then usage; fi

command -v qemu-system-x86_64 >/dev/null 2>&1 || skip "qemu-system-x86_64 not found (package qemu-system-x86)"
command -v timeout >/dev/null 2>&1 || skip "timeout not found"
BUILD_LOG=$(mktemp)
IMAGE_DIR=$("$HERE/build-vm.sh" "$CACHE" 2>"$BUILD_LOG" | tail -1)
rc=${PIPESTATUS[0]}
BUILD_NOTE=$(tail -n 1 "$BUILD_LOG")
cat "$BUILD_LOG" >&2
rm -f "$BUILD_LOG"
if [ "$rc" -eq 77 ]; then skip "${BUILD_NOTE#build-vm: }"; fi
if [ "$rc" -ne 0 ] || [ ! -s "$IMAGE_DIR/vmlinuz" ]; then echo "run-in-vm: build-vm.sh failed ($rc)"; exit 1; fi
[ "$CHECK" -eq 1 ] && { echo "run-in-vm: a VM can start here ($(cat "$IMAGE_DIR/kver"))"; exit 0; }

SCRIPT=$1; shift
case "$SCRIPT" in /*) ;; *) SCRIPT="$(pwd)/$SCRIPT" ;; esac
[ -f "$SCRIPT" ] || { echo "run-in-vm: no guest script $SCRIPT"; exit 2; }

mkdir -p "$CACHE/jobs"
JOB=$(mktemp -d "$CACHE/jobs/job.XXXXXX")
trap 'rm -rf "$JOB"' EXIT
chmod 777 "$JOB"
: > "$JOB/modules"
for m in "${MODULES[@]}"; do printf '%s\n' "$m" >> "$JOB/modules"; done
{
  echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
  echo 'export HOME=/root TMPDIR=/tmp QUELNOR_IN_VM=1'
  for e in "${ENVS[@]}"; do printf 'export %q=%q\n' "${e%%=*}" "${e#*=}"; done
  printf 'cd %q || exit 1\n' "$(pwd)"
  printf 'exec /bin/bash %q' "$SCRIPT"
  for a in "$@"; do printf ' %q' "$a"; done
  echo
} > "$JOB/job.sh"

start=$(date +%s)
timeout --kill-after=10 "$TIMEOUT" qemu-system-x86_64 $ACCEL -m 1024 -smp 2 -nographic -no-reboot -nic none \
  -kernel "$IMAGE_DIR/vmlinuz" -initrd "$IMAGE_DIR/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=job,path="$JOB",security_model=none \
  -device virtio-9p-pci,fsdev=job,mount_tag=job \
  > "$JOB/console.txt" 2>&1 < /dev/null
qrc=$?
elapsed=$(( $(date +%s) - start ))

show() { [ -s "$1" ] && { echo "----- $2"; cat "$1"; }; }
if [ ! -f "$JOB/started" ]; then
  show "$JOB/init.log" "init"
  echo "----- console (last lines)"; tail -n 20 "$JOB/console.txt"
  if [ "$qrc" -eq 124 ]; then skip "the VM did not come up within ${TIMEOUT} s"; fi
  skip "the VM did not come up (qemu status $qrc)"
fi
show "$JOB/modules.log" "modules"
show "$JOB/guest.log" "guest output"
if [ ! -f "$JOB/rc" ]; then
  echo "----- console (last lines)"; tail -n 20 "$JOB/console.txt"
  echo "run-in-vm: FAILED: the guest script did not finish within ${TIMEOUT} s (qemu status $qrc)"
  exit 124
fi
grc=$(cat "$JOB/rc")
echo "run-in-vm: guest script exited with $grc after ${elapsed} s in the VM"
exit "$grc"
