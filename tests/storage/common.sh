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
# B, stopped after CHECK_SECONDS. A configuration that must be exact fails
# the setup when it is not; the others print their figures.
check() {
  echo "$me: $1"
  FARE_SETTLE=$bin/fare-settle HOLD_LEDGER_LOCK=$bin/hold-ledger-lock \
    timeout -k 10 "${CHECK_SECONDS:-1800}" sh "$src/tools/check-shared-ledgers" "$3" "$4"
  case $? in
    0) timeRuns "$3"; return 0 ;;
    124 | 137) echo "$me: $1: the check did not end within ${CHECK_SECONDS:-1800} s" ;;
  esac
  if [ "$2" = exact ]; then
    echo "$me: $1: FAILED: this configuration must be exact"
    failed=1
  else
    echo "$me: $1: not exact (its figures above; not a failure)"
  fi
}

# timeRuns DIR: where TIMING names a directory with the benchmarks whole_run
# and floor, one 100-ride run on the storage against the floor, in pairs.
timeRuns() {
  [ -x "${TIMING:-}/whole_run" ] || return 0
  TMPDIR=$1 "$TIMING/whole_run" "$bin/fare-settle" "$TIMING/floor" "${TIMING_PAIRS:-20}" |
    sed "s|^|$me: timed on the storage: |"
}
