// Amending a day. Each file's lines are hashed and walked beside the lines
// the state kept, in order: a line found again is the same tap of the same
// journey and is not parsed; the others are parsed, and the journeys they
// touch, or that lost a line, are compared whole (their lines' hashes in
// the order a run reads them). Only journeys that differ are settled again.
#include "amendment.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "journey.h"
#include "ledgers.h"
#include "parallel.h"
#include "settlement.h"

namespace {

constexpr uint32_t NONE = 0xFFFFFFFFu;     // a line that is no stored tap
constexpr uint32_t UNKNOWN = 0xFFFFFFFEu;  // not yet parsed
constexpr size_t WINDOW = 64;              // how far a walk looks for lines found again

// The lines of both files as they stand now, in a run's order: each one's
// hash, and its journey | METRO_LINE once known (NONE for no stored tap).
struct NewLines {
  BigVector<uint64_t> hashes;
  BigVector<uint32_t> journeys;
  size_t start[3] = {0, 0, 0};  // where each file's lines begin, and the end
  size_t size() const { return hashes.size(); }
  int source(size_t i) const { return i < start[1] ? 0 : 1; }
};

// Calls each(start, length) for every line of `bytes` (without its line
// end), until it returns false.
template <class Each>
void forEachLine(const DayBytes& bytes, Each each) {
  for (size_t at = 0; at < bytes.size();) {
    const char* start = bytes.data() + at;
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, nothing is copied
    const void* lf = std::memchr(start, '\n', bytes.size() - at);
    size_t length = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start)
                                  : bytes.size() - at;
    if (!each(start, length)) return;
    at += length + 1;
  }
}

size_t lineCount(const DayBytes& bytes) {
  size_t n = 0;
  forEachLine(bytes, [&](const char*, size_t) { return ++n > 0; });
  return n;
}

// Each line's hash, from *out on.
void hashLines(const DayBytes& bytes, uint64_t* out) {
  forEachLine(bytes, [&](const char* start, size_t length) {
    *out++ = lineHash(start, length);
    return true;
  });
}

// Where each of the lines `wanted` (ascending) begins in its file, and how
// long it is: the files walked again rather than every line's place kept.
struct Place {
  const char* bytes;
  size_t length;
};

std::vector<Place> locate(const DaySource* sources, const NewLines& nl,
                          const std::vector<uint32_t>& wanted) {
  std::vector<Place> places;
  places.reserve(wanted.size());
  size_t w = 0;
  for (int s = 0; s < 2 && w < wanted.size(); s++) {
    size_t i = nl.start[s];
    forEachLine(sources[s].bytes, [&](const char* start, size_t length) {
      if (wanted[w] == i++) {
        places.push_back({start, length});
        w++;
      }
      return w < wanted.size();
    });
  }
  return places;
}

uint32_t journeyOf(uint32_t j) {
  return j & ~METRO_LINE;
}

// Walks the new lines [n, nEnd) beside the kept ones [o, oEnd): each new line
// found again takes its journey; each kept line not found is marked removed.
void walk(NewLines* nl, size_t n, size_t nEnd, const DayState& was, size_t o, size_t oEnd,
          std::vector<uint8_t>* removed) {
  auto same = [&](size_t i, size_t j) {
    return i < nEnd && j < oEnd && nl->hashes[i] == was.hashes[j];
  };
  // A match is taken once the two lines after it match too (or the files end).
  auto sure = [&](size_t i, size_t j) {
    return same(i, j) && (i + 1 >= nEnd || j + 1 >= oEnd || same(i + 1, j + 1));
  };
  while (n < nEnd && o < oEnd) {
    if (same(n, o)) {
      nl->journeys[n++] = was.journeys[o++];
      continue;
    }
    size_t skipNew = 1, skipOld = 1;  // no resync: a line replaced
    for (size_t d = 1; d <= WINDOW; d++) {
      if (sure(n + d, o)) {
        skipNew = d, skipOld = 0;
        break;
      }
      if (sure(n, o + d)) {
        skipNew = 0, skipOld = d;
        break;
      }
      if (sure(n + d, o + d)) {
        skipNew = d, skipOld = d;
        break;
      }
    }
    n += skipNew;
    for (size_t k = 0; k < skipOld; k++) (*removed)[o++] = 1;
  }
  for (; o < oEnd; o++) (*removed)[o] = 1;
}

// Journeys by key: the kept ones, and those an amendment adds.
class KeyIndex {
 public:
  explicit KeyIndex(BigVector<uint64_t>* keys) : keys_(keys) {
    size_t n = 1 << 16;
    while (n < keys->size() * 2) n *= 2;
    slots_.assign(n, 0);
    for (uint32_t j = 0; j < keys->size(); j++) place((*keys)[j], j);
  }
  uint32_t find(uint64_t key) {
    size_t mask = slots_.size() - 1;
    for (size_t i = slotOf(key);; i = (i + 1) & mask) {
      if (slots_[i] == 0) {
        keys_->push_back(key);
        auto j = static_cast<uint32_t>(keys_->size() - 1);
        slots_[i] = j + 1;
        if (keys_->size() * 2 > slots_.size()) grow();
        return j;
      }
      if ((*keys_)[slots_[i] - 1] == key) return slots_[i] - 1;
    }
  }

 private:
  size_t slotOf(uint64_t key) const {
    return static_cast<size_t>(keyHash(key)) & (slots_.size() - 1);
  }
  void place(uint64_t key, uint32_t j) {
    size_t mask = slots_.size() - 1, i = slotOf(key);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = j + 1;
  }
  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    for (uint32_t j = 0; j < keys_->size(); j++) place((*keys_)[j], j);
  }
  BigVector<uint64_t>* keys_;
  BigVector<uint32_t> slots_;
};

uint64_t mix(uint64_t h, uint64_t x) {
  return ((h << 29 | h >> 35) ^ x) * 0x9E3779B97F4A7C15ULL;
}

void appendLine(Amendment* out, int ledger, const std::string& line, long long fee, int revision) {
  out->lines.bytes[ledger].append(line.data(), line.size());
  out->lines.ends[ledger].push_back(static_cast<uint32_t>(out->lines.bytes[ledger].size()));
  out->lines.batchOf[ledger].push_back(revision);
  out->rides[ledger]++;
  out->money[ledger] += fee;
}

// Settles a journey alone from its lines, as the corrected day settles it,
// into the amendment's lines and the next state.
void settleJourney(const Place* lines, size_t n, uint32_t j, int revision, Amendment* out) {
  TermInfo infos[TAP_CAPACITY];
  RideInfo t[RIDE_CAPACITY];
  int64_t amount = 0;
  tapCount = 0;
  for (size_t i = 0; i < n; i++) {
    TapNotes notes;
    (void)readTapLine(lines[i].bytes, lines[i].length, &infos[tapCount], &notes);
    amount += infos[tapCount++].bal;
  }
  buildRidesFrom(infos, t);
  apportionFees(t);
  char text[LEDGER_LINE];
  uint8_t encoded[RIDE_CAPACITY * RIDE_ENCODING];
  size_t bytes = 0;
  for (int r = 0; r < rideCount; r++) {
    int ledger = t[r].tr == MODE_BUS ? 0 : 1;
    int length = formatLedgerLine(t[r], ledger == 0 ? "BUS" : "METRO", text);
    appendLine(out, ledger, std::string(text, static_cast<size_t>(length)), t[r].fee, revision);
    bytes += encodeRide(t[r], encoded + bytes);
  }
  out->next.journey(j, amount, rideCount, encoded, bytes);
  out->moneyIn += amount;
}

// What a touched journey was and is: its lines' hashes in a run's order.
struct Compared {
  uint64_t oldSig = 0, newSig = 0;
  uint32_t oldCount = 0, newCount = 0;
};

}  // namespace

int amendDay(const DaySource* sources, const DayState& was, int revision,
             const std::string& statePath, int threads, Amendment* out) {
  out->lines.unit = "amendment";
  // Each file hashed and walked on a thread of its own, where there are two.
  NewLines nl;
  size_t counts[2] = {0, 0};
  onThreads(threads, 2, [&](size_t s) { counts[s] = lineCount(sources[s].bytes); });
  nl.start[1] = counts[0];
  nl.start[2] = counts[0] + counts[1];
  nl.hashes.resize(nl.start[2]);
  nl.journeys.assign(nl.size(), UNKNOWN);
  std::vector<uint8_t> removed(was.lines, 0);
  const size_t oldStart[3] = {0, static_cast<size_t>(was.lineCount[0]),
                              static_cast<size_t>(was.lineCount[0] + was.lineCount[1])};
  onThreads(threads, 2, [&](size_t s) {
    hashLines(sources[s].bytes, nl.hashes.data() + nl.start[s]);
    walk(&nl, nl.start[s], nl.start[s + 1], was, oldStart[s], oldStart[s + 1], &removed);
  });

  std::vector<uint32_t> unknown;
  for (uint32_t i = 0; i < nl.size(); i++)
    if (nl.journeys[i] == UNKNOWN) unknown.push_back(i);
  out->matched = static_cast<long long>(nl.size() - unknown.size());
  if (static_cast<size_t>(out->matched) * 2 < was.lines)
    return EDOM;  // not this day, amended: another day

  // The lines not found again, parsed; the journeys they or a lost line touch.
  BigVector<uint64_t> keys(was.keys, was.keys + was.journeyCount);
  const size_t kept = was.journeyCount;
  std::vector<uint32_t> slot(kept, NONE);  // a touched journey's place in `compared`
  std::vector<Compared> compared;
  auto touch = [&](uint32_t j) {
    if (j >= slot.size()) slot.resize(j + 1, NONE);
    if (slot[j] == NONE) {
      slot[j] = static_cast<uint32_t>(compared.size());
      compared.emplace_back();
    }
  };
  KeyIndex index(&keys);
  std::vector<Place> places = locate(sources, nl, unknown);
  for (size_t k = 0; k < unknown.size(); k++) {
    const uint32_t i = unknown[k];
    const int s = nl.source(i);
    TermInfo tap;
    TapNotes notes;
    TapLine verdict = readTapLine(places[k].bytes, places[k].length, &tap, &notes);
    const auto number = static_cast<long long>(i - nl.start[s]) + 1;
    (void)noteTapLine(sources[s].name, number, verdict, tap, notes, "");
    if (verdict != TAP_STORED) {
      nl.journeys[i] = NONE;
      continue;
    }
    uint32_t j = index.find(keyOf(tap.ti));
    nl.journeys[i] = j | (tap.tr != MODE_BUS ? METRO_LINE : 0);
    touch(j);
  }
  slot.resize(keys.size(), NONE);
  for (size_t o = 0; o < was.lines; o++)
    if (removed[o] != 0) touch(journeyOf(was.journeys[o]));

  // A touched journey changed when its lines, in a run's order, are not the same.
  for (size_t o = 0; o < was.lines; o++) {
    uint32_t s = slot[journeyOf(was.journeys[o])];
    if (s == NONE) continue;
    compared[s].oldSig = mix(compared[s].oldSig, was.hashes[o]);
    compared[s].oldCount++;
  }
  std::vector<std::pair<uint32_t, uint32_t>> touchedLines;  // journey, line
  for (uint32_t i = 0; i < nl.size(); i++) {
    const uint32_t jm = nl.journeys[i];
    if (jm == NONE) continue;
    const int source = nl.source(i);
    out->lineCount[source]++;
    out->taps[source][(jm & METRO_LINE) != 0 ? 1 : 0]++;
    uint32_t s = slot[journeyOf(jm)];
    if (s == NONE) continue;
    compared[s].newSig = mix(compared[s].newSig, nl.hashes[i]);
    compared[s].newCount++;
    touchedLines.emplace_back(journeyOf(jm), i);
  }
  std::vector<uint32_t> wanted;
  for (const auto& entry : touchedLines) wanted.push_back(entry.second);
  std::vector<Place> lines = locate(sources, nl, wanted);  // in a run's order
  std::vector<uint32_t> order(touchedLines.size());        // by journey, each in a run's order
  for (uint32_t k = 0; k < order.size(); k++) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return touchedLines[a].first < touchedLines[b].first;
  });
  std::vector<Place> byJourney;
  for (uint32_t k : order) byJourney.push_back(lines[k]);
  if (int error = out->next.open(statePath, out->lineCount[0] + out->lineCount[1], keys.size()))
    return error;
  for (uint32_t i = 0; i < nl.size(); i++)
    if (nl.journeys[i] != NONE) out->next.frontHash(nl.hashes[i]);
  for (uint32_t i = 0; i < nl.size(); i++)
    if (nl.journeys[i] != NONE) out->next.frontJourney(nl.journeys[i]);
  out->next.frontKeys(keys.data());

  // Journey by journey: what is kept, or reversed and settled again.
  size_t at = 0;  // in `order`
  std::string text;
  for (uint32_t j = 0; j < keys.size(); j++) {
    size_t first = at;
    while (at < order.size() && touchedLines[order[at]].first == j) at++;
    const Compared* c = slot[j] == NONE ? nullptr : &compared[slot[j]];
    bool changed = c != nullptr && (c->oldCount != c->newCount || c->oldSig != c->newSig);
    bool settled = j < kept && was.rideCount[j] != TOO_LONG;
    if (!changed) {
      if (!settled) continue;
      size_t from = was.rideAt[j], to = skipRides(was.rides, from, was.rideCount[j]);
      out->next.journey(j, was.amounts[j], was.rideCount[j], was.rides + from, to - from);
      out->moneyIn += was.amounts[j];
      continue;
    }
    const char* how = j >= kept                    ? "new"
                      : c->newCount == 0           ? "removed"
                      : c->newCount > TAP_CAPACITY ? "too long"
                      : !settled                   ? "settled"
                                                   : "changed";
    out->changed.push_back(keyText(keys[j]) + " " + how);
    for (size_t k = 0, r = settled ? was.rideAt[j] : 0; settled && k < was.rideCount[j]; k++) {
      int ledger = 0;
      long long fee = 0;
      decodeRide(was.rides, &r, true, &ledger, &text, &fee);
      appendLine(out, ledger, text, fee, revision);
      out->reversed++;
    }
    if (c->newCount > TAP_CAPACITY)
      out->tooLong++;
    else if (c->newCount > 0)
      settleJourney(byJourney.data() + first, at - first, j, revision, out);
  }
  return 0;
}
