#!/bin/bash
# Guest side of the USB runs on a real kernel (inside the throw-away VM, with dummy_hcd loaded with
# one UDC per camera, libcomposite and usb_f_fs). Makes a configfs gadget with a FunctionFS function
# for each simulated camera below, starts the gadget program on each (it binds the UDC and opens its
# control socket once the host configured the device), then runs the given programs one after the
# other with QUELNOR_USBVM_GADGETS naming the control sockets.
#
# Usage: usb-gadgets.sh GADGET_PROGRAM -- PROGRAM [ARGS...] [-- PROGRAM [ARGS...]]...
# Exit status: the first failing program's, 1 when the gadgets could not be set up.
set -u

GADGET=${1:?usage: usb-gadgets.sh GADGET_PROGRAM -- PROGRAM [ARGS...]}
shift
[ "${1:-}" = "--" ] && shift

CONFIGFS=/sys/kernel/config
RUN=/run/quelnor-usbvm
READY_LIMIT_S=120

# name kind vendor product manufacturer product-string serial-option serial
CAMERAS=(
  "tolvane event 0x04b5 0x0001 Quelnor Tolvane --serial-text QNP0042A7"
  "zarn320 event 0x04b5 0x0003 Quelnor Zarn320 --serial-number 0xdeadbeef"
  "ondrik fusion 0x2207 0x0006 Quelnor Ondrik --serial-string OND0VM1"
)

mkdir -p "$RUN"
mountpoint -q "$CONFIGFS" || mount -t configfs none "$CONFIGFS" || { echo "usb-gadgets: no configfs"; exit 1; }
# (no /dev/fd in the guest: no process substitution)
read -r -a UDCS <<< "$(ls /sys/class/udc 2>/dev/null | sort -V | tr '\n' ' ')"
if [ "${#UDCS[@]}" -lt "${#CAMERAS[@]}" ]; then
  echo "usb-gadgets: ${#UDCS[@]} UDCs for ${#CAMERAS[@]} cameras (load dummy_hcd num=${#CAMERAS[@]})"
  exit 1
fi

PIDS=()
SOCKETS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

i=0
for camera in "${CAMERAS[@]}"; do
  read -r name kind vid pid manufacturer product serial_option serial <<< "$camera"
  g=$CONFIGFS/usb_gadget/$name
  mkdir "$g" || exit 1
  echo "$vid" > "$g/idVendor"
  echo "$pid" > "$g/idProduct"
  echo 0x0100 > "$g/bcdDevice"
  echo 0x0200 > "$g/bcdUSB"
  mkdir "$g/strings/0x409"
  echo "$manufacturer" > "$g/strings/0x409/manufacturer"
  echo "$product" > "$g/strings/0x409/product"
  # Only the fusion camera is known by its serial-number string.
  if [ "$serial_option" = "--serial-string" ]; then echo "$serial" > "$g/strings/0x409/serialnumber"; fi
  mkdir "$g/configs/c.1" "$g/functions/ffs.$name"
  ln -s "$g/functions/ffs.$name" "$g/configs/c.1/"
  mkdir -p "/dev/ffs-$name"
  mount -t functionfs "$name" "/dev/ffs-$name" || { echo "usb-gadgets: functionfs mount failed"; exit 1; }
  "$GADGET" --ffs "/dev/ffs-$name" --udc-file "$g/UDC" --udc "${UDCS[$i]}" --control "$RUN/$name.sock" \
    --kind "$kind" --vid "$vid" --pid "$pid" "$serial_option" "$serial" > "$RUN/$name.log" 2>&1 &
  PIDS+=($!)
  SOCKETS+=("$RUN/$name.sock")
  i=$((i + 1))
done

show_gadget_logs() {
  for camera in "${CAMERAS[@]}"; do
    name=${camera%% *}
    echo "----- gadget $name"
    cat "$RUN/$name.log"
  done
}

deadline=$((SECONDS + READY_LIMIT_S))
for k in "${!SOCKETS[@]}"; do
  while [ ! -S "${SOCKETS[$k]}" ]; do
    if ! kill -0 "${PIDS[$k]}" 2>/dev/null; then
      echo "usb-gadgets: the gadget for ${SOCKETS[$k]} ended"
      show_gadget_logs
      exit 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "usb-gadgets: ${SOCKETS[$k]} did not appear within $READY_LIMIT_S s"
      show_gadget_logs
      exit 1
    fi
    sleep 0.2
  done
done
echo "usb-gadgets: ${#CAMERAS[@]} cameras ready after $(cut -d' ' -f1 /proc/uptime) s of guest uptime:" \
  "$(cat /sys/bus/usb/devices/*/product 2>/dev/null | grep -v -i 'host controller' | tr '\n' ' ')"
QUELNOR_USBVM_GADGETS=$(IFS=:; echo "${SOCKETS[*]}")
export QUELNOR_USBVM_GADGETS

rc=0
command=()
run_command() {
  [ "${#command[@]}" -gt 0 ] || return 0
  echo "== ${command[0]##*/} ${command[*]:1}"
  "${command[@]}"
  local r=$?
  if [ "$r" -ne 0 ] && [ "$rc" -eq 0 ]; then rc=$r; fi
  command=()
}
for a in "$@"; do
  if [ "$a" = "--" ]; then run_command; else command+=("$a"); fi
done
run_command

cleanup
trap - EXIT
if [ "$rc" -ne 0 ]; then show_gadget_logs; fi
exit "$rc"
