#!/bin/sh
# make shared-ledgers: GlusterFS on this machine (one volume, one brick, two
# FUSE client mounts, loopback only), then check-shared-ledgers on it, first
# with GlusterFS's defaults (figures only), then with the settings the README
# recommends, which must come out exact. Removes all it made, on any exit.
# $1 is the build directory that holds fare-settle and hold-ledger-lock.
set -u
PATH=$PATH:/usr/sbin:/sbin
me="make shared-ledgers"
bin=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "$me: skipped: mounting needs root"; exit 0; }
[ -c /dev/fuse ] || { echo "$me: skipped: no /dev/fuse"; exit 0; }
for tool in glusterd gluster glusterfs fusermount3; do
  command -v $tool >/dev/null || { echo "$me: $tool not found; install glusterfs-server fuse3" >&2; exit 1; }
done
host=$(hostname)
case $(getent ahostsv4 "$host" | awk '{ print $1; exit }') in
  127.*) ;;
  *) echo "$me: refused: $host does not resolve to a loopback address (127.x)" >&2; exit 1 ;;
esac

tmp=$(mktemp -d /tmp/fare-settle-gluster.XXXXXX)
vol=fscheck$$
started=
g() { gluster --mode=script --log-file="$tmp/cli.log" "$@"; }
cleanup() {
  for m in a b; do umount "$tmp/$m" 2>/dev/null; done
  g volume stop $vol force >/dev/null 2>&1
  g volume delete $vol >/dev/null 2>&1
  [ -n "$started" ] && kill "$(cat "$tmp/glusterd.pid")" 2>/dev/null
  rm -f /var/log/glusterfs/bricks/"$(echo "${tmp#/}" | tr / -)"-brick.log
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# A glusterd of our own keeps its state under $tmp and listens on loopback.
if ! pgrep -x glusterd >/dev/null; then
  sed -e "s|/var/lib/glusterd|$tmp/state|" \
    -e 's|^end-volume|    option transport.socket.bind-address 127.0.0.1\nend-volume|' \
    /etc/glusterfs/glusterd.vol >"$tmp/glusterd.vol"
  glusterd --volfile="$tmp/glusterd.vol" -p "$tmp/glusterd.pid" -l "$tmp/glusterd.log" || exit 1
  started=yes
fi
n=0
until g volume list >/dev/null 2>&1; do
  n=$((n + 1)); [ $n -lt 50 ] || { echo "$me: glusterd does not answer" >&2; exit 1; }; sleep 0.2
done
mkdir "$tmp/brick" "$tmp/a" "$tmp/b"
g volume create $vol "$host:$tmp/brick" force >/dev/null &&
  g volume start $vol >/dev/null || exit 1

# remount OPTIONS...: both client mounts, afresh.
remount() {
  for m in a b; do
    umount "$tmp/$m" 2>/dev/null
    glusterfs --volfile-server="$host" --volfile-id=$vol -l "$tmp/$m.log" "$@" "$tmp/$m" || exit 1
  done
}
check() {
  FARE_SETTLE=$bin/fare-settle HOLD_LEDGER_LOCK=$bin/hold-ledger-lock \
    sh "$src/tools/check-shared-ledgers" "$tmp/a" "$tmp/b"
}

echo "$me: GlusterFS defaults"
remount
check || echo "$me: GlusterFS defaults are not exact (expected; not a failure; its files go with the volume)"

echo "$me: the recommended settings: client caches off, no attribute or entry timeouts, direct I/O"
for o in write-behind stat-prefetch quick-read io-cache read-ahead open-behind readdir-ahead nl-cache; do
  g volume set $vol performance.$o off >/dev/null || exit 1
done
remount --attribute-timeout=0 --entry-timeout=0 --direct-io-mode=enable
check
