#!/usr/bin/env bash
# Installs every Debian package the SDK, its tests and its benchmarks need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  clang libclang-rt-14-dev llvm
  libusb-1.0-0-dev libspdlog-dev libfmt-dev nlohmann-json3-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
  libopencv-dev libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev
  iproute2 nftables tzdata locales
  xvfb xauth x11-utils x11-apps xdotool imagemagick
  qemu-system-x86 busybox-static kmod cpio
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
