#!/bin/sh
# CephFS on this machine, started by hand from Debian's packages: one
# monitor, one manager, one OSD on memstore, pools of size 1, one MDS, cephx
# off, every daemon on 127.0.0.1. Two ceph-fuse clients with ids of their
# own; the storage check on Ceph's defaults must be exact.
# Run by tests/shared_ledgers.sh: $1 holds the programs, $2 is the source tree.
set -u
me="cephfs" bin=$1 src=$2 packages="ceph-mon ceph-mgr ceph-osd ceph-mds ceph-fuse"
. "$src/tests/storage/common.sh"
need ceph ceph-mon ceph-mgr ceph-osd ceph-mds ceph-fuse monmaptool
[ -c /dev/fuse ] || { echo "$me: skipped: no /dev/fuse"; exit 77; }

tmp=$(mktemp -d /tmp/fare-settle-ceph.XXXXXX)
c() { timeout 60 ceph -c "$tmp/ceph.conf" "$@"; }
# The MDS does not stop on SIGTERM within seconds (it respawns in place), so
# every daemon is killed outright: the cluster is thrown away.
killDaemons() {
  for pid in "$tmp"/run/*.pid; do [ -f "$pid" ] && kill -KILL "$(cat "$pid")" 2>/dev/null; done
}
cleanup() {
  for m in a b; do umount "$tmp/$m" 2>/dev/null || umount -l "$tmp/$m" 2>/dev/null; done
  killDaemons
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# again CMD...: CMD, tried up to ten times a second apart. A daemon or a
# ceph command that asks the monitor something before it has the cluster's
# map is now and then refused ('wrong fsid', EPERM) just after the monitor
# starts; the same request a moment later is answered.
again() {
  t=1
  until "$@"; do
    [ $t -lt 10 ] || return 1
    t=$((t + 1))
    sleep 1
  done
}

# start: a fresh monitor, manager and OSD, each step once the monitor
# answers; the whole start is tried up to three times.
start() {
  killDaemons
  w=0
  while ss -Hltn 'sport = :6789' | grep -q . && [ $w -lt 50 ]; do w=$((w + 1)); sleep 0.2; done
  rm -rf "$tmp/run" "$tmp/mon" "$tmp/mgr" "$tmp/osd" "$tmp/monmap"
  fsid=$(cat /proc/sys/kernel/random/uuid)
  mkdir -p "$tmp/run" "$tmp/log" "$tmp/mon/a" "$tmp/mgr/x" "$tmp/osd/0" "$tmp/mds/a" "$tmp/a" "$tmp/b"
  cat >"$tmp/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = v1:127.0.0.1:6789
public addr = 127.0.0.1
ms bind ipv6 = false
auth cluster required = none
auth service required = none
auth client required = none
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
mon warn on pool no redundancy = false
mon data avail warn = 1
mon data avail crit = 0
osd objectstore = memstore
memstore device bytes = 2147483648
run dir = $tmp/run
admin socket = $tmp/run/\$name.asok
pid file = $tmp/run/\$name.pid
log file = $tmp/log/\$name.log
mon data = $tmp/mon/\$id
mgr data = $tmp/mgr/\$id
osd data = $tmp/osd/\$id
mds data = $tmp/mds/\$id
keyring = $tmp/keyring
EOF
  monmaptool --create --add a v1:127.0.0.1:6789 --fsid "$fsid" "$tmp/monmap" >/dev/null &&
    ceph-mon $conf --mkfs -i a --monmap "$tmp/monmap" 2>>"$tmp/log/setup" &&
    ceph-mon $conf -i a && again c mon stat >/dev/null 2>&1 && ceph-mgr $conf -i x &&
    uuid=$(cat /proc/sys/kernel/random/uuid) && id=$(again c osd new "$uuid" 2>>"$tmp/log/setup") &&
    ceph-osd $conf -i "$id" --mkfs --osd-uuid "$uuid" 2>>"$tmp/log/setup" &&
    again ceph-osd $conf -i "$id" 2>>"$tmp/log/setup"
}
conf="-c $tmp/ceph.conf"
n=1
until start; do
  if [ $n -ge 3 ]; then
    echo "$me: the cluster did not start:"
    tail -n 5 "$tmp/log/setup" "$tmp/log/mon.a.log" "$tmp/log"/osd.*.log 2>/dev/null
    exit 1
  fi
  echo "$me: the cluster did not start; again"
  n=$((n + 1))
  sleep 1
done
again c osd pool create cephfs_data 8 >/dev/null 2>&1 &&
  again c osd pool create cephfs_metadata 8 >/dev/null 2>&1 &&
  again c fs new cephfs cephfs_metadata cephfs_data >/dev/null 2>&1 &&
  ceph-mds $conf -i a >/dev/null || { echo "$me: the file system or its MDS failed to start" >&2; exit 1; }
n=0
until c mds stat 2>/dev/null | grep -q up:active; do
  n=$((n + 1)); [ $n -lt 120 ] || { echo "$me: no MDS became active" >&2; exit 1; }; sleep 0.5
done
echo "$me: $(ceph --version | cut -d' ' -f1-3): cluster up in $n half-seconds after the OSD"
for m in a b; do
  ceph-fuse $conf --id "check-$m" "$tmp/$m" >/dev/null 2>&1 || { echo "$me: ceph-fuse on $tmp/$m failed" >&2; exit 1; }
done

check "CephFS defaults, two ceph-fuse clients" exact "$tmp/a" "$tmp/b"
exit $failed
