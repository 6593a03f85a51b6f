# Sourced by each storage setup, with $me, $bin (fare-settle and
# hold-ledger-lock), $src (the source tree) and $packages set.
PATH=$PATH:/usr/sbin:/sbin
failed=0

# need TOOL...: a missing tool skips the storage (exit 77), or fails it when
# it was asked for by name (REQUIRED).
need() {
  for tool; do
    command -v "$tool" >/dev/null 2>&1 && continue
    echo "$me: $tool not found; install $packages"
    [ -n "${REQUIRED:-}" ] && exit 1
    exit 77
  done
}

# check LABEL exact|figures A B: the storage check on the client views A and
# B, stopped after CHECK_SECONDS, then two batch runners (checkBatches). A
# configuration that must be exact fails the setup when it is not; the
# others print their figures.
check() {
  echo "$me: $1"
  FARE_SETTLE=$bin/fare-settle HOLD_LEDGER_LOCK=$bin/hold-ledger-lock \
    timeout -k 10 "${CHECK_SECONDS:-1800}" sh "$src/tools/check-shared-ledgers" "$3" "$4"
  case $? in
    0) timeRuns "$3" ;;
    124 | 137)
      echo "$me: $1: the check did not end within ${CHECK_SECONDS:-1800} s"
      notExact "$1" "$2"
      return
      ;;
    *) notExact "$1" "$2" ;;
  esac
  checkBatches "$@"
  checkDay "$@"
}

notExact() {
  if [ "$2" = exact ]; then
    echo "$me: $1: FAILED: this configuration must be exact"
    failed=1
  else
    echo "$me: $1: not exact (its figures above; not a failure)"
  fi
}

# checkBatches LABEL exact|figures A B: two fare-settle-batches runners, one
# through each view, over the same CHECK_BATCHES batches (default 200) of
# one ride each, at once, within CHECK_BATCH_SECONDS (default 300): every
# batch must be settled exactly once, and every ride be one whole line in
# the shared ledgers.
checkBatches() {
  n=${CHECK_BATCHES:-200}
  d=fare-settle-batches.$(date +%s%N)
  # A day of n journeys of one ride each (the fee its number), cut by the
  # split into a batch each, in one process.
  awk -v n="$n" 'BEGIN { for (i = 1; i <= n; i++) print "12:00 METRO IN " i " K" i }' >"$3/$d.metro"
  : >"$3/$d.bus"
  "$bin/fare-settle-split" --batch-taps 1 "$3/$d.metro" "$3/$d.bus" "$3/$d" >/dev/null ||
    { notExact "$1" "$2"; return; }
  started=$(date +%s)
  pids=
  for view in "$3" "$4"; do
    FARE_SETTLE=$bin/fare-settle timeout -k 10 "${CHECK_BATCH_SECONDS:-300}" \
      "$bin/fare-settle-batches" -j 4 "$view/$d" 2>"$3/$d.summary.${view##*/}" &
    pids="$pids $!"
  done
  wait $pids # only these: a caller may have jobs of its own running
  # Each batch's outcome, then the ledger's lines against the fees 1..n.
  settled=$(cat "$3/$d"/0*/outcome 2>/dev/null | grep -cx settled)
  whole=$(sort "$3/$d/metroCompany.txt" 2>/dev/null | uniq | grep -c '^12:00,METRO,[0-9]*$')
  lines=$(wc -l <"$3/$d/metroCompany.txt" 2>/dev/null || echo 0)
  echo "$me: $1: batches: $n batches, two runners at once ($(($(date +%s) - started)) s):" \
    "$settled settled, $lines ledger lines, $whole whole and distinct"
  cat "$3/$d"/0*/outcome 2>/dev/null | grep -vx settled | sort | uniq -c |
    sed "s|^ *|$me: $1: batches: outcome, times: |"
  cat "$3/$d"/0*/errors 2>/dev/null | sort | uniq -c | head -n 5 |
    sed "s|^ *|$me: $1: batches: on standard error, times: |"
  if [ "$settled" -eq "$n" ] && [ "$lines" -eq "$n" ] && [ "$whole" -eq "$n" ]; then
    rm -rf "$3/$d" "$3/$d".*
  else
    # What each runner's summary says of the batches that need a look.
    for view in "$3" "$4"; do
      grep -v '^  ' "$3/$d.summary.${view##*/}" | head -n 5 | sed "s|^|$me: $1: batches: runner ${view##*/}: |"
    done
    echo "$me: $1: batches: kept in $3/$d"
    notExact "$1" "$2"
  fi
}

# checkDay LABEL exact|figures A B: fare-settle-day with DIR and its ledgers
# on the shared storage, killed (SIGKILL) through A once its bus ledger has
# grown, then the same command through B (another client, another device
# number) until it ends of itself: the ledgers must hold exactly what the
# day settled on local disk appends.
checkDay() {
  d=fare-settle-day.$(date +%s%N)
  here=$(mktemp -d)
  awk -v n="${CHECK_DAY_TAPS:-20000}" -v dir="$3/$d" 'BEGIN {
    srand(7)
    while (t < n) {
      j++; k = 1 + int(rand() * 6)
      for (i = 0; i < k && t < n; i++) {
        t++
        metro = rand() < 0.5
        printf "%02d:%02d %s IN %d J%X\n", 5 + i, int(rand() * 60), metro ? "METRO" : "BUS",
          int(rand() * 300), j > (dir (metro ? ".metro" : ".bus"))
      }
    } }'
  # Groups of 50 batches: a few flushes a group, a handful of groups (a
  # flush can wait long for a metadata server).
  export FARE_SETTLE_DAY_GROUP_BATCHES=50
  "$bin/fare-settle-day" "$3/$d.metro" "$3/$d.bus" "$here/day" >/dev/null 2>&1
  "$bin/fare-settle-day" "$3/$d.metro" "$3/$d.bus" "$3/$d" >/dev/null 2>&1 &
  pid=$!
  seen=0
  until [ -s "$3/$d/busCompany.txt" ] || [ $seen -ge 3000 ]; do sleep 0.01; seen=$((seen + 1)); done
  kill -9 $pid 2>/dev/null
  wait $pid
  killed=$?
  at=$(wc -c <"$3/$d/busCompany.txt" 2>/dev/null || echo 0)
  runs=0
  status=3
  while [ $runs -lt 5 ] && [ $status -ge 3 ]; do
    timeout -k 10 120 "$bin/fare-settle-day" "$4/$d.metro" "$4/$d.bus" "$4/$d" \
      >/dev/null 2>"$3/$d.errors"
    status=$?
    runs=$((runs + 1))
  done
  unset FARE_SETTLE_DAY_GROUP_BATCHES
  same=yes
  for l in busCompany.txt metroCompany.txt; do
    cmp -s "$here/day/$l" "$3/$d/$l" || same=no
  done
  echo "$me: $1: day: killed through A (status $killed, bus ledger at $at bytes)," \
    "finished through B in $runs runs (status $status): ledgers as settled on local disk: $same"
  if [ $same = yes ] && [ $status -le 1 ]; then
    rm -rf "$3/$d" "$3/$d".* "$here"
  else
    sed "s|^|$me: $1: day: on standard error: |" "$3/$d.errors" | head -n 10
    echo "$me: $1: day: kept in $3/$d and $here"
    notExact "$1" "$2"
  fi
}

# timeRuns DIR: where TIMING names a directory with the benchmarks whole_run
# and floor, one 100-ride run on the storage against the floor, in pairs.
timeRuns() {
  [ -x "${TIMING:-}/whole_run" ] || return 0
  TMPDIR=$1 "$TIMING/whole_run" "$bin/fare-settle" "$TIMING/floor" "${TIMING_PAIRS:-20}" |
    sed "s|^|$me: timed on the storage: |"
}
