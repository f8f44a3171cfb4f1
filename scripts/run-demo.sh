#!/usr/bin/env bash
# The SDK end to end without a camera: installs the packages, builds the live viewer, and shows it
# two SIMULATED Ethernet event cameras. Each simulated camera runs in a private network namespace
# (made here and removed at the end; nothing touches the machine's own network) and streams a
# generated moving scene (a turning bar, a bouncing ring, scattered background events and a trigger
# edge about once a second) as EVT3 events, in real time, for as long as the demo runs. The viewer
# runs on its built-in defaults: it discovers the first two Ethernet cameras by broadcast and
# records to default_file_name_cam1.raw / _cam2.raw.
#
# Usage: scripts/run-demo.sh [--headless] [--seconds N]
#   With a display (DISPLAY set) the viewer opens its two windows: Space starts/stops recording,
#   q or Escape quits. Without a display, or with --headless, it runs under Xvfb: recording is
#   switched on, a screenshot is taken after N seconds (default 5), recording is switched off, the
#   viewer quits and the recordings are read back through the SDK's file reader.
# Everything lands in build/demo/output (screenshot, recordings, logs). Needs root (namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}
HEADLESS=0
SECONDS_SHOWN=5
SHOTS=5
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) HEADLESS=1 ;;
    --seconds) SECONDS_SHOWN=$2; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
[ -z "${DISPLAY:-}" ] && HEADLESS=1
if [ "$(id -u)" -ne 0 ]; then
  echo "run-demo: needs root (it makes network namespaces for the simulated cameras)" >&2
  exit 1
fi

bash scripts/install-deps.sh

BUILD="$ROOT/build/demo"
OUT="$BUILD/output"
echo "=== build the viewer and the camera simulator"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELNOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target quelnor_double_eth_camera_live_viewer quelnor_ethsim_program \
  quelnor_raw_summary >/dev/null
VIEWER="$BUILD/Samples/QuelnorDoubleEthCameraViewer/quelnor_double_eth_camera_live_viewer"
SIM="$BUILD/tests/support/ethsim/quelnor_ethsim"
SUMMARY="$BUILD/tests/support/rawfile/quelnor_raw_summary"
rm -rf "$OUT"
mkdir -p "$OUT"

# A private network: one segment (a bridge in its own namespace), the host at 192.0.2.1 and two
# cameras at 192.0.2.11 and 192.0.2.12.
P="qndemo$$"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for n in host cam1 cam2 sw; do ip netns del "$P-$n" 2>/dev/null || true; done
}
trap cleanup EXIT
for n in sw host cam1 cam2; do ip netns add "$P-$n"; ip -n "$P-$n" link set lo up; done
ip -n "$P-sw" link add br0 type bridge
ip -n "$P-sw" link set br0 up
i=0
for n in host cam1 cam2; do
  case $n in host) ip=192.0.2.1 ;; cam1) ip=192.0.2.11 ;; cam2) ip=192.0.2.12 ;; esac
  ip link add eth0 netns "$P-$n" type veth peer name "p$i" netns "$P-sw"
  ip -n "$P-sw" link set "p$i" master br0 up
  ip -n "$P-$n" link set eth0 up
  ip -n "$P-$n" addr add "$ip/24" broadcast + dev eth0
  ip -n "$P-$n" route add 255.255.255.255/32 dev eth0
  i=$((i + 1))
done

echo "=== two simulated Ethernet cameras (QNDEMO0001, QNDEMO0002) streaming a generated scene"
for c in 1 2; do
  ip netns exec "$P-cam$c" "$SIM" --ip "192.0.2.1$c" --gateway 192.0.2.254 --serial "QNDEMO000$c" \
    --mac "0050c258c10$c" --scene "$c" >"$OUT/camera$c.log" 2>&1 &
  PIDS+=($!)
done
for c in 1 2; do
  # The scene is generated first: allow it a while on a slow machine.
  for _ in $(seq 600); do grep -q READY "$OUT/camera$c.log" && break; sleep 0.1; done
  grep -q READY "$OUT/camera$c.log" || { cat "$OUT/camera$c.log"; echo "camera $c did not start" >&2; exit 1; }
done

if [ "$HEADLESS" -eq 0 ]; then
  echo "=== the viewer (Space: record, q: quit); recordings go to $OUT"
  cd "$OUT"
  ip netns exec "$P-host" "$VIEWER"
  exit $?
fi

echo "=== the viewer, headless under Xvfb, for $SECONDS_SHOWN s"
export XDG_RUNTIME_DIR="$OUT/xdg"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cat >"$OUT/headless.sh" <<INNER
#!/usr/bin/env bash
# Runs inside xvfb-run: the viewer, then keys and a screenshot through the X server.
set -u
cd "$OUT"
# No session bus on the virtual display: keep the window toolkit from waiting on one.
QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1 DBUS_SESSION_BUS_ADDRESS=unix:path=$OUT/no-session-bus \\
  ip netns exec "$P-host" "$VIEWER" >viewer.log 2>&1 &
viewer=\$!
for _ in \$(seq 300); do grep -q "Camera 2 open success" viewer.log && break; sleep 0.1; done
# Side by side: the second window right of the first.
w1=\$(xdotool search --sync --name "^Quelnor Ethernet Camera 1\$" | head -1)
w2=\$(xdotool search --sync --name "^Quelnor Ethernet Camera 2\$" | head -1)
xdotool windowmove "\$w1" 0 0 windowmove "\$w2" 1290 0
key() { xdotool windowfocus --sync "\$w1" key "\$1"; }
key space
sleep "$SECONDS_SHOWN"
# The viewer shows what arrived since its last redraw, so one picture may catch a camera between
# two blocks of events: take a few and keep the one where both cameras show the most.
best=-1
for n in \$(seq $SHOTS); do
  xwd -root -silent | /usr/bin/convert xwd:- "shot\$n.png"
  score=\$(/usr/bin/convert "shot\$n.png" -crop 50%x100% +repage -format "%[fx:int(standard_deviation*1000000)]\n" info: | sort -n | head -1)
  if [ "\$score" -gt "\$best" ]; then best=\$score; cp "shot\$n.png" viewer.png; fi
done
rm -f shot*.png
key space
sleep 1
key q
wait \$viewer
echo "viewer exit code: \$?" >>viewer.log
INNER
xvfb-run -a -s "-screen 0 2580x760x24 -nolisten tcp" bash "$OUT/headless.sh"
cat "$OUT/viewer.log" | grep -v "trigger info" | tail -n 25
echo "=== results in $OUT"
ls -l "$OUT"/*.raw "$OUT"/viewer.png
grep -q "viewer exit code: 0" "$OUT/viewer.log"
echo "=== the recordings, read back"
"$SUMMARY" "$OUT"/default_file_name_cam1.raw "$OUT"/default_file_name_cam2.raw
