#!/bin/sh
# make day: a synthetic day of TAPS taps (journeys of 1 to 6 taps, bus and
# metro transfers, ties within a minute, a few refused lines; keys in hex,
# within 7 characters up to 16 million journeys) split and
# settled with fare-settle-split and fare-settle-batches, then the money
# checked two ways: the ledger lines number exactly the rides counted here,
# and the day packed in another order settles into the same lines.
# Where BUILD_DIR holds bench/floor, the settle is also timed against the
# floor: the same batch tree run with the floor in place of fare-settle,
# as many at once, each batch's trace size and rides as its run had them.
# Usage: bench/day.sh BUILD_DIR [TAPS [WORK_DIR]]
set -eu
bin=$(cd "$1" && pwd -P)
taps=${2:-1000000}
work=${3:-build/day}
jobs=$(nproc)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f taps/s (%.2f s)", n / (b - a), b - a }'; }

awk -v taps="$taps" -v dir="$work" 'BEGIN {
  srand(1)
  while (n < taps) {
    j++; k = 1 + int(rand() * 6); start = 300 + int(rand() * 900)
    for (t = 0; t < k && n < taps; t++) {
      m = start + t * int(rand() * 40)
      metro = rand() < 0.5
      file = dir (metro ? "/day-metro.txt" : "/day-bus.txt")
      printf "%02d:%02d %s %s %d J%X\n", int(m / 60) % 24, m % 60, metro ? "METRO" : "BUS",
        t % 2 ? "OUT" : "IN", int(rand() * 300), j > file
      n++
      if (n % 10000 == 0) print "a refused line" > file
    }
  }
}'
# Rides counted apart from the program: a journey of n taps makes ceil(n/2).
rides=$(cat "$work/day-metro.txt" "$work/day-bus.txt" | awk 'NF == 5 { n[$5]++ }
  END { for (k in n) r += int((n[k] + 1) / 2); print r }')

settle() { # NAME: split the day in $work/NAME-*.txt and settle it
  t0=$(now)
  "$bin/fare-settle-split" "$work/$1-metro.txt" "$work/$1-bus.txt" "$work/$1" 2>"$work/$1.split-errors"
  t1=$(now)
  # Status 1 for the lines the split refused; every batch must have settled.
  FARE_SETTLE=$bin/fare-settle "$bin/fare-settle-batches" -j "$jobs" "$work/$1" 2>"$work/$1.summary" || true
  grep -Eq ': [0-9]+ settled, 0 settled with notes, 0 stopped, 0 claimed but not settled, 0 not started, 0 not claimed$' \
    "$work/$1.summary" || { tail -3 "$work/$1.summary"; exit 1; }
  t2=$(now)
  echo "day: $1: split $(rate "$taps" "$t0" "$t1"), settle $(rate "$taps" "$t1" "$t2")"
  settled=$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')
  cat "$work/$1/busCompany.txt" "$work/$1/metroCompany.txt" | sort >"$work/$1.ledgers"
}
settle day
if [ -x "$bin/bench/floor" ]; then
  # Each batch again, beside the first: its taps, ledger links, and what its
  # run wrote (trace bytes; bus and metro rides, from the last ride table).
  mkdir "$work/floor"
  for b in "$work"/day/0*; do
    f=$work/floor/${b##*/}
    mkdir "$f" && cp -P "$b/metro.txt" "$b/bus.txt" "$b/busCompany.txt" "$b/metroCompany.txt" "$f/"
    counts=$(LC_ALL=C awk '/ : tr = / { tr = $NF; next }
      / : fee = -?[0-9]+$/ && tr != "" { if (tr == 0) bus++; else metro++ }
      { tr = "" } END { print bus / 2, metro / 2 }' "$b/trace.cp949")
    echo "$(wc -c <"$b/trace.cp949") $counts" >"$f/floor.args"
  done
  t0=$(now)
  find "$work/floor" -mindepth 1 -maxdepth 1 -name '0*' -print0 |
    FLOOR=$bin/bench/floor xargs -0 -n 1 -P "$jobs" sh -c \
      'cd "$1" && read o b m <floor.args && exec "$FLOOR" "$o" "$b" "$m" >trace.cp949 2>errors' sh
  t1=$(now)
  awk -v s="$settled" -v a="$t0" -v b="$t1" \
    'BEGIN { printf "day: settle %.2f s, floor %.2f s (-j %d): %.2fx the floor\n", s, b - a, '"$jobs"', s / (b - a) }'
fi
# Another packing: journeys in reverse key order, each journey's lines in order.
for f in metro bus; do
  awk '{ print $5 "\t" NR "\t" $0 }' "$work/day-$f.txt" | sort -t "$(printf '\t')" -k1,1r -k2,2n |
    cut -f3- >"$work/other-$f.txt"
done
settle other
lines=$(wc -l <"$work/day.ledgers")
echo "day: $taps taps, $rides rides counted apart, $lines ledger lines"
[ "$lines" -eq "$rides" ] || { echo "day: ledger lines differ from the rides" >&2; exit 1; }
cmp -s "$work/day.ledgers" "$work/other.ledgers" ||
  { echo "day: another packing settled other lines" >&2; exit 1; }
echo "day: both packings settled the same $lines lines"

# The same day in one process, on one thread and on the cores it may use
# (the default), each with its peak memory where GNU time is at hand,
# against the I/O floor: the day's files read, the same ledger bytes
# appended and each ledger flushed once.
oneDay() { # NAME [OPTION...]: the day settled into $work/NAME, its seconds in $work/NAME.seconds
  name=$1
  shift
  measure=
  [ -x /usr/bin/time ] && measure="/usr/bin/time -f %M -o $work/$name.memory"
  t0=$(now)
  $measure "$bin/fare-settle-day" "$@" "$work/day-metro.txt" "$work/day-bus.txt" "$work/$name" \
    >"$work/$name.statement" 2>"$work/$name.errors" || [ $? -eq 1 ]
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }' >"$work/$name.seconds"
  cat "$work/$name/busCompany.txt" "$work/$name/metroCompany.txt" | sort >"$work/$name.ledgers"
  cmp -s "$work/day.ledgers" "$work/$name.ledgers" ||
    { echo "day: fare-settle-day $* settled other lines than the batches" >&2; exit 1; }
  grep -q "^rides appended by this run: $rides of $rides\$" "$work/$name.statement" ||
    { echo "day: fare-settle-day's statement does not count every ride" >&2; exit 1; }
}
oneDay single --threads 1
oneDay one
if [ -x "$bin/bench/day_floor" ]; then
  mkdir "$work/floor-day"
  floor=$("$bin/bench/day_floor" "$work/day-metro.txt" "$work/day-bus.txt" \
    "$work/one/busCompany.txt" "$work/one/metroCompany.txt" "$work/floor-day" | cut -d' ' -f1)
  for name in single one; do
    label="--threads 1"
    [ "$name" = one ] && label="default ($jobs threads)"
    memory="not measured (no /usr/bin/time)"
    [ -s "$work/$name.memory" ] && memory="$(awk 'END { printf "%.0f MB", $1 / 1024 }' "$work/$name.memory")"
    awk -v n="$taps" -v t="$(cat "$work/$name.seconds")" -v f="$floor" -v m="$memory" -v l="$label" 'BEGIN {
      if (f < 0.001) f = 0.001  # a tiny day reads and flushes in no measurable time
      printf "day: fare-settle-day %-26s %9.0f taps/s (%.2f s), %.1fx the floor, peak memory %s\n", l ":", n / t, t, t / f, m }'
  done
  awk -v n="$taps" -v s="$settled" -v f="$floor" -v a="$(cat "$work/single.seconds")" -v b="$(cat "$work/one.seconds")" 'BEGIN {
    if (f < 0.001) f = 0.001
    printf "day: floor %.3f s; one thread takes %.2fx the default'"'"'s time; per-batch settle %.0f taps/s (%.2f s): %.1fx the floor\n", f, a / b, n / s, s, s / f }'
fi
echo "day: fare-settle-day settled the same $lines lines"

# An amendment: one line in a thousand of the metro file changed (its amount
# raised by one), removed or followed by a late tap of its journey; the day
# amended in place against the corrected day settled afresh, and each
# ledger, with every line and its reversal taken away, against the fresh one.
awk 'BEGIN { srand(5) } { r = rand()
  if (r < 0.0005 && NF == 5) { $4 = $4 + 1; print }
  else if (r < 0.0007) { }
  else if (r < 0.001 && NF == 5) { print; print "23:59 METRO IN 7 " $5 }
  else print }' "$work/day-metro.txt" >"$work/amended-metro.txt"
changed=$(diff "$work/day-metro.txt" "$work/amended-metro.txt" | grep -c '^[<>]' || true)
t0=$(now)
"$bin/fare-settle-day" "$work/amended-metro.txt" "$work/day-bus.txt" "$work/fresh" \
  >/dev/null 2>&1 || [ $? -eq 1 ]
t1=$(now)
"$bin/fare-settle-day" --amend "$work/amended-metro.txt" "$work/day-bus.txt" "$work/one" \
  >"$work/amend.statement" 2>"$work/amend.errors" || [ $? -eq 1 ]
t2=$(now)
for l in busCompany metroCompany; do
  sort "$work/fresh/$l.txt" >"$work/fresh.$l"
  awk -F, '{ k = $1 "," $2; if ($3 ~ /^-/) neg[k "," substr($3, 2)]++; else pos[k "," $3]++ }
    END { for (x in pos) for (i = pos[x] - neg[x]; i > 0; i--) print x
          for (x in neg) if (neg[x] > pos[x]) print "unpaired reversal " x }' "$work/one/$l.txt" |
    sort >"$work/netted.$l"
  cmp -s "$work/fresh.$l" "$work/netted.$l" ||
    { echo "day: the amended $l.txt does not net to the corrected day settled afresh" >&2; exit 1; }
done
awk -v c="$changed" -v a="$t0" -v b="$t1" -v d="$t2" -v s="$(du -b "$work/one"/state-* | awk '{ n += $1 } END { print n }')" \
  -v f="$(cat "$work/day-metro.txt" "$work/day-bus.txt" | wc -c)" 'BEGIN {
  printf "day: amendment of %d changed lines %.2f s against %.2f s afresh (%.2fx); DIR keeps %.1f MB for it, %.2fx the day files\n",
    c, d - b, b - a, (d - b) / (b - a), s / 1e6, s / f }'
echo "day: the amended ledgers net to the corrected day settled afresh"
