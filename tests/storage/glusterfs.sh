#!/bin/sh
# GlusterFS on this machine: one volume, one brick, two FUSE client mounts,
# all on loopback. The storage check runs on GlusterFS's defaults (figures
# only), then on the settings the README recommends, which must be exact.
# Run by tests/shared_ledgers.sh: $1 holds the programs, $2 is the source tree.
set -u
me="glusterfs" bin=$1 src=$2 packages="glusterfs-server fuse3"
. "$src/tests/storage/common.sh"
need glusterd gluster glusterfs fusermount3
[ -c /dev/fuse ] || { echo "$me: skipped: no /dev/fuse"; exit 77; }
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
  glusterd --volfile="$tmp/glusterd.vol" -p "$tmp/glusterd.pid" -l "$tmp/glusterd.log" ||
    { echo "$me: glusterd failed to start" >&2; exit 1; }
  started=yes
fi
n=0
until g volume list >/dev/null 2>&1; do
  n=$((n + 1)); [ $n -lt 50 ] || { echo "$me: glusterd does not answer" >&2; exit 1; }; sleep 0.2
done
mkdir "$tmp/brick" "$tmp/a" "$tmp/b"
g volume create $vol "$host:$tmp/brick" force >/dev/null && g volume start $vol >/dev/null ||
  { echo "$me: volume $vol failed to start" >&2; exit 1; }

# remount OPTIONS...: both client mounts, afresh.
remount() {
  for m in a b; do
    umount "$tmp/$m" 2>/dev/null
    glusterfs --volfile-server="$host" --volfile-id=$vol -l "$tmp/$m.log" "$@" "$tmp/$m" ||
      { echo "$me: mounting $vol on $tmp/$m failed" >&2; exit 1; }
  done
}

remount
check "GlusterFS defaults" figures "$tmp/a" "$tmp/b"

for o in write-behind stat-prefetch quick-read io-cache read-ahead open-behind readdir-ahead nl-cache; do
  g volume set $vol performance.$o off >/dev/null || { echo "$me: performance.$o off failed" >&2; exit 1; }
done
remount --attribute-timeout=0 --entry-timeout=0 --direct-io-mode=enable
check "GlusterFS, client caches off, no attribute or entry timeouts, direct I/O" exact "$tmp/a" "$tmp/b"
exit $failed
