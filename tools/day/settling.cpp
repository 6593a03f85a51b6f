// Settling batches in memory: each batch's taps, as its lines were read,
// put in the order a run's key sort leaves them, then the program's stages.
#include "settling.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "journey.h"
#include "ledgers.h"
#include "settlement.h"
#include "state.h"

namespace {

const char* const WORDS[2] = {"BUS", "METRO"};

// A journey of the batch being settled.
struct Member {
  uint64_t order;  // its key's bytes as a number that orders as strcmp does
  uint32_t journey;
  int taps;
  int64_t amount;  // its taps' amounts summed
};

// The batch's journeys: members in the order they first appear, and their
// indices in key order.
struct Members {
  Member m[TAP_CAPACITY];
  uint8_t byKey[TAP_CAPACITY];
  uint8_t hint[256] = {};  // where a journey was last found, by its number's last byte
  int n = 0;
  const Member& find(uint64_t order) const {
    const uint8_t* at = std::lower_bound(byKey, byKey + n, order,
                                         [&](uint8_t i, uint64_t o) { return m[i].order < o; });
    return m[*at];
  }
};

// The key's 8 NUL-padded bytes, first byte most significant.
uint64_t orderOf(uint64_t key) {
  uint8_t b[8];
  std::memcpy(b, &key, sizeof b);
  uint64_t v = 0;
  for (uint8_t byte : b) v = v << 8 | byte;
  return v;
}

// The batch's taps into infos, sorted by key with equal keys in the order
// they were read: what the run's stable key sort makes of its tap table,
// so that the sort finds them in order. Its journeys into *members.
void sortedTaps(const Day& day, const uint32_t* lines, size_t count, TermInfo* infos,
                Members* members) {
  uint8_t memberOf[TAP_CAPACITY];
  int& n = members->n;
  n = 0;
  for (size_t i = 0; i < count; i++) {
    const DayLine& l = day.lines[lines[i]];
    // A batch's journeys are mostly numbered one after another: each is
    // looked for first where its number's last byte says, then everywhere.
    uint8_t& hint = members->hint[l.journey & 0xff];
    int m = hint < n && members->m[hint].journey == l.journey ? hint : n - 1;
    while (m >= 0 && members->m[m].journey != l.journey) m--;
    if (m < 0) {
      m = n++;
      members->m[m] = {orderOf(day.journeys[l.journey].key), l.journey, 0, 0};
      members->byKey[m] = static_cast<uint8_t>(m);
    }
    hint = static_cast<uint8_t>(m);
    members->m[m].taps++;
    members->m[m].amount += l.amount;
    memberOf[i] = static_cast<uint8_t>(m);
  }
  const Member* m = members->m;
  std::sort(members->byKey, members->byKey + n,
            [m](uint8_t a, uint8_t b) { return m[a].order < m[b].order; });
  int next[TAP_CAPACITY];  // where each member's next tap goes
  for (int k = 0, at = 0; k < n; at += m[members->byKey[k++]].taps) next[members->byKey[k]] = at;
  for (size_t i = 0; i < count; i++) tapOf(day, day.lines[lines[i]], &infos[next[memberOf[i]]++]);
}

// Each settled journey of the batch, as the state keeps it: its amounts and rides.
void keepJourneys(const Members& members, const RideInfo* t, DayBytes* out) {
  uint8_t encoded[RIDE_CAPACITY * RIDE_ENCODING];
  // A ride's key is a tap's, whose bytes after the key are NUL (tapOf).
  auto keyOfRide = [](const RideInfo& ride) {
    uint64_t key;
    std::memcpy(&key, ride.ti, sizeof key);
    return key;
  };
  for (int r = 0; r < rideCount;) {
    uint64_t key = keyOfRide(t[r]);
    size_t length = 0;
    int end = r;
    for (; end < rideCount && keyOfRide(t[end]) == key; end++)
      length += encodeRide(t[end], encoded + length);
    const Member& m = members.find(orderOf(key));
    encodeJourney(m.journey, m.amount, end - r, encoded, length, out);
    r = end;
  }
}

}  // namespace

void DayTotals::add(const DayTotals& more) {
  for (int l = 0; l < 2; l++) {
    rides[l] += more.rides[l];
    money[l] += more.money[l];
  }
  moneyIn += more.moneyIn;
}

void settleBatches(const Day& day, const DayBatches& batches, int first, int last,
                   SettledLines* out, bool keep) {
  TermInfo infos[TAP_CAPACITY];
  RideInfo t[RIDE_CAPACITY];
  Members members;
  char line[LEDGER_LINE];
  for (int b = first; b <= last; b++) {
    const size_t from = batches.start[static_cast<size_t>(b)];
    const size_t count = batches.start[static_cast<size_t>(b) + 1] - from;
    // The next batch's lines asked for while this one is settled: a day's
    // lines are far larger than any cache.
    if (b < last)
      for (size_t i = from + count; i < batches.start[static_cast<size_t>(b) + 2]; i++)
        __builtin_prefetch(&day.lines[batches.order[i]]);
    sortedTaps(day, batches.order.data() + from, count, infos, &members);
    tapCount = static_cast<int>(count);
    for (int m = 0; m < members.n; m++) out->totals.moneyIn += members.m[m].amount;
    buildRidesFrom(infos, t);
    apportionFees(t);
    if (keep) keepJourneys(members, t, &out->journeys);
    for (int r = 0; r < rideCount; r++) {
      int ledger = t[r].tr == MODE_BUS ? BUS_LEDGER : METRO_LEDGER;
      int length = formatLedgerLine(t[r], WORDS[ledger], line);
      out->bytes[ledger].append(line, static_cast<size_t>(length));
      out->ends[ledger].push_back(static_cast<uint32_t>(out->bytes[ledger].size()));
      out->batchOf[ledger].push_back(b + 1);
      out->totals.rides[ledger]++;
      out->totals.money[ledger] += t[r].fee;
    }
  }
}

void batchFiles(const Day& day, const DayBatches& batches, int batch, std::string* metro,
                std::string* bus) {
  for (size_t i = batches.start[static_cast<size_t>(batch)];
       i < batches.start[static_cast<size_t>(batch) + 1]; i++) {
    const DayLine& l = day.lines[batches.order[i]];
    std::string* file = l.source == 0 ? metro : bus;
    file->append(day.sources[l.source].bytes.data() + l.offset, l.length).push_back('\n');
  }
}
