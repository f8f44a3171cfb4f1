#!/usr/bin/env bash
# Prepares the throw-away test VM: Debian's stock kernel and a busybox initramfs holding the kernel modules
# the VM tests may load. Everything comes from Debian packages; nothing is committed.
#
# Usage: tests/vm/build-vm.sh [CACHE_DIR]      (default: <repo>/build/vm-cache)
# Prints the folder holding vmlinuz and initramfs.cpio.gz on its last line.
# Exit status: 0 ready, 77 the VM cannot be prepared on this machine (reason on stderr), other values: error.
#
# To offer another module to the tests, add it to VM_MODULES below; its dependencies come along.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${1:-$ROOT/build/vm-cache}

# Loaded at boot by the init: the host file system over 9p and the overlay on top of it.
BOOT_MODULES="virtio_pci 9pnet_virtio 9p overlay"
# Offered to guest jobs (run-in-vm.sh --modprobe): USB gadgets on a dummy host controller, V4L2 test driver.
VM_MODULES="configfs dummy_hcd libcomposite usb_f_fs vivid"

skip() { echo "build-vm: cannot prepare the VM here: $*" >&2; exit 77; }

for tool in dpkg-deb apt-get apt-cache depmod modprobe cpio gzip flock; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
done
BUSYBOX=$(command -v busybox || true)
[ -n "$BUSYBOX" ] || skip "busybox not found (package busybox-static)"
# The initramfs has no C library: the busybox must be the static one.
if LC_ALL=C ldd "$BUSYBOX" >/dev/null 2>&1; then skip "$BUSYBOX is dynamically linked (package busybox-static)"; fi

mkdir -p "$CACHE/dl"
exec 9>"$CACHE/.lock"
flock 9

# The versioned image package behind Debian's linux-image-amd64.
KPKG=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
if [ -z "$KPKG" ]; then
  KPKG=$(ls "$CACHE"/dl/linux-image-*-amd64_*.deb 2>/dev/null | sed 's|.*/||; s|_.*||' | sort -V | tail -1)
fi
[ -n "$KPKG" ] || skip "no linux-image-amd64 package known to apt (run apt-get update)"
KVER=${KPKG#linux-image-}

KEY=$(printf '%s\n' "$KVER" "$BOOT_MODULES" "$VM_MODULES" "$(cksum < "$HERE/init")" | cksum | cut -d' ' -f1)
OUT="$CACHE/$KVER-$KEY"
if [ -s "$OUT/vmlinuz" ] && [ -s "$OUT/initramfs.cpio.gz" ]; then
  echo "$OUT"
  exit 0
fi

DEB=$(ls "$CACHE"/dl/"${KPKG}"_*.deb 2>/dev/null | tail -1 || true)
if [ -z "$DEB" ]; then
  DEB=$(ls /var/cache/apt/archives/"${KPKG}"_*.deb 2>/dev/null | tail -1 || true)
fi
if [ -z "$DEB" ]; then
  echo "build-vm: downloading $KPKG" >&2
  (cd "$CACHE/dl" && apt-get download "$KPKG" >/dev/null 2>&1) || skip "apt-get download $KPKG failed"
  DEB=$(ls "$CACHE"/dl/"${KPKG}"_*.deb | tail -1)
fi

WORK=$(mktemp -d "$CACHE/work.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "build-vm: unpacking $(basename "$DEB")" >&2
dpkg-deb -x "$DEB" "$WORK/kernel"
KROOT="$WORK/kernel"
MODDIR="lib/modules/$KVER"
[ -f "$KROOT/boot/vmlinuz-$KVER" ] || { echo "build-vm: $DEB holds no vmlinuz-$KVER" >&2; exit 1; }
depmod -b "$KROOT" "$KVER"

# Every module asked for, with its dependencies, keeping its place in the tree.
RD="$WORK/initramfs"
mkdir -p "$RD"/{bin,dev,proc,sys,lower,newroot,rw,job} "$RD/$MODDIR"
for m in $BOOT_MODULES $VM_MODULES; do
  deps=$(modprobe -d "$KROOT" -S "$KVER" --show-depends "$m") || { echo "build-vm: module $m not in $KPKG" >&2; exit 1; }
  printf '%s\n' "$deps" | awk '$1 == "insmod" {print $2}' | while read -r ko; do
    rel=${ko#"$KROOT"/}
    mkdir -p "$RD/$(dirname "$rel")"
    cp "$ko" "$RD/$rel"
  done
done
cp "$KROOT/$MODDIR"/modules.order "$KROOT/$MODDIR"/modules.builtin* "$RD/$MODDIR/" 2>/dev/null || true
depmod -b "$RD" "$KVER"
echo "$BOOT_MODULES" > "$RD/boot-modules"
echo "$KVER" > "$RD/kver"
cp "$BUSYBOX" "$RD/bin/busybox"
cp "$HERE/init" "$RD/init"
chmod 755 "$RD/init" "$RD/bin/busybox"

mkdir -p "$OUT.tmp"
(cd "$RD" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1 > "$OUT.tmp/initramfs.cpio.gz")
cp "$KROOT/boot/vmlinuz-$KVER" "$OUT.tmp/vmlinuz"
echo "$KVER" > "$OUT.tmp/kver"
rm -rf "$OUT"
mv "$OUT.tmp" "$OUT"
echo "build-vm: ready in $OUT ($(du -sh "$OUT" | cut -f1))" >&2
echo "$OUT"
