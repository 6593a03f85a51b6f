#!/bin/sh
# NFS in a Debian guest under qemu-system-x86_64 (software emulation), with
# no network device: the guest's kernel
# NFS server exports a directory to two clients, each in network, UTS and
# mount namespaces of its own, with an address, a host name and an NFSv4
# client identifier of its own, so that the server sees two clients. The
# storage check runs in the guest (tests/storage/nfs-guest.sh) on NFSv3 and
# NFSv4.2 with default mount options. The guest's root file system is built
# once with debootstrap and kept outside the clone, keyed by what went in.
# Run by tests/shared_ledgers.sh: $1 holds the programs, $2 is the source tree.
set -u
me="nfs" bin=$1 src=$2 packages="qemu-system-x86 debootstrap"
. "$src/tests/storage/common.sh"
need qemu-system-x86_64 debootstrap mke2fs

# The image: the host's Debian release, so the host's programs run in it.
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
guest="linux-image-amd64,nfs-kernel-server,udev,iproute2,mount"
init='#!/bin/sh
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /payload && mount -o ro /dev/vdb /payload && exec sh /payload/nfs-guest.sh
echo o >/proc/sysrq-trigger'
key=$(printf '%s\n' "$suite" "$guest" "$init" | sha256sum | cut -c1-16)
cache=${FARE_SETTLE_CACHE:-/var/cache/fare-settle}/nfs-guest-$key
if [ ! -f "$cache/root.img" ]; then
  # The mirror this host's apt uses.
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  echo "$me: building the guest's root file system ($suite) in $cache, once"
  rm -rf "$cache" && mkdir -p "$cache" || exit 1
  debootstrap --variant=minbase --include="$guest" "$suite" "$cache/stage" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { echo "$me: debootstrap failed: $cache/debootstrap.log" >&2; exit 1; }
  printf '%s\n' "$init" >"$cache/stage/sbin/fare-settle-init" && chmod 755 "$cache/stage/sbin/fare-settle-init" &&
    cp "$cache"/stage/boot/vmlinuz-* "$cache/vmlinuz" && cp "$cache"/stage/boot/initrd.img-* "$cache/initrd" &&
    mke2fs -q -t ext4 -d "$cache/stage" "$cache/root.new" 2G && mv "$cache/root.new" "$cache/root.img" || exit 1
  rm -rf "$cache/stage"
fi

tmp=$(mktemp -d /tmp/fare-settle-nfs.XXXXXX)
qemu=
cleanup() {
  [ -n "$qemu" ] && kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# What the guest runs, on a second disk: the programs, the check, the script.
p=$tmp/payload
mkdir -p "$p/bin" "$p/src/tools" "$p/src/tests/storage" &&
  cp "$bin/fare-settle" "$bin/fare-settle-split" "$bin/fare-settle-batches" "$bin/fare-settle-day" \
    "$bin/hold-ledger-lock" "$p/bin/" &&
  cp "$src/tools/check-shared-ledgers" "$p/src/tools/" &&
  cp "$src/tests/storage/common.sh" "$p/src/tests/storage/" &&
  cp "$src/tests/storage/nfs-guest.sh" "$p/" &&
  { [ -z "${TIMING:-}" ] || { mkdir "$p/timing" && cp "$TIMING/whole_run" "$TIMING/floor" "$p/timing/"; }; } &&
  mke2fs -q -t ext4 -d "$p" "$tmp/payload.img" 64M || exit 1

echo "$me: booting the guest"
: >"$tmp/console"
qemu-system-x86_64 -accel tcg,thread=multi -cpu max -smp 2 -m 2048 -nic none -display none \
  -no-reboot -snapshot -serial "file:$tmp/console" \
  -drive "file=$cache/root.img,format=raw,if=virtio" -drive "file=$tmp/payload.img,format=raw,if=virtio" \
  -kernel "$cache/vmlinuz" -initrd "$cache/initrd" \
  -append "root=/dev/vda rw console=ttyS0 loglevel=7 panic=-1 init=/sbin/fare-settle-init" &
qemu=$!
# The guest's lines as they come; it powers off when it is done.
tail -f "$tmp/console" --pid=$qemu 2>/dev/null | grep --line-buffered -E '^(nfs|check-shared-ledgers)' &
timeout ${NFS_GUEST_SECONDS:-3600} sh -c "while kill -0 $qemu 2>/dev/null; do sleep 1; done" || {
  echo "$me: the guest did not finish in time" >&2; exit 1; }
qemu=
sleep 1
grep -q '^nfs-guest: done, failed=0' "$tmp/console" && exit 0
grep -q '^nfs-guest: done' "$tmp/console" || { echo "$me: the guest stopped early:"; tail -n 40 "$tmp/console"; }
exit 1
