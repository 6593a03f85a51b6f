#!/bin/sh
# make shared-ledgers [STORAGE="glusterfs cephfs nfs"]: the storage check
# (tools/check-shared-ledgers) on two clients of one shared directory, for
# each storage set up on this machine by tests/storage/S.sh. Servers are
# reached on loopback, or on addresses inside a guest the setup boots, and
# each setup removes all it started on any exit. Without STORAGE, every
# storage whose packages are present; the others are skipped with a message.
# $1 is the build directory that holds fare-settle and hold-ledger-lock.
set -u
me="make shared-ledgers"
bin=$(cd "$1" && pwd)
shift
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "$me: skipped: the setups need root"; exit 0; }
asked=$*
# TIMING: a build directory's bench/ (whole_run and floor) to time runs with.
[ -n "${TIMING:-}" ] && TIMING=$(cd "$TIMING" && pwd) && export TIMING
# Each setup's output is kept, so that the lines saying why one failed can
# be repeated at the end, where a reader of only the last lines sees them.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=
for s in ${asked:-glusterfs cephfs nfs}; do
  [ -f "$src/tests/storage/$s.sh" ] || { echo "$me: STORAGE: one or more of glusterfs cephfs nfs" >&2; exit 2; }
  started=$(date +%s)
  { REQUIRED=$asked sh "$src/tests/storage/$s.sh" "$bin" "$src" 2>&1; echo $? >"$logs/$s.rc"; } |
    tee "$logs/$s.log"
  rc=$(cat "$logs/$s.rc")
  took="$(($(date +%s) - started)) s"
  case $rc in
    0) echo "$me: $s: passed ($took)" ;;
    77) echo "$me: $s: skipped ($took)" ;;
    *) echo "$me: $s: FAILED ($took)"; failed="$failed $s" ;;
  esac
done
[ -z "$failed" ] && exit 0
for s in $failed; do
  grep -iE 'failed|refused|not found|not answer|did not end|batches:|rides in' \
    "$logs/$s.log" | tail -n 20 | sed "s|^|$me: $s, why: |"
done
echo "$me: failed:$failed" >&2
exit 1
