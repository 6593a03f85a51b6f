// Settling batches in memory: each batch's lines parsed again into the tap
// table, in the order a run reads its files, then the program's stages.
#include "settling.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "journey.h"
#include "ledgers.h"
#include "settlement.h"
#include "state.h"

namespace {

const char* const WORDS[2] = {"BUS", "METRO"};

struct Kept {
  uint64_t key;
  uint32_t journey;
  int64_t amount;
};

// Keeps each journey of a settled batch in the state: its amounts, its rides.
void keepJourneys(std::vector<Kept>* kept, const RideInfo* t, StateWriter* state) {
  std::sort(kept->begin(), kept->end(), [](const Kept& a, const Kept& b) { return a.key < b.key; });
  size_t n = 0;  // one entry a journey, its taps' amounts summed
  for (size_t i = 0; i < kept->size(); i++) {
    if (n > 0 && (*kept)[n - 1].key == (*kept)[i].key)
      (*kept)[n - 1].amount += (*kept)[i].amount;
    else
      (*kept)[n++] = (*kept)[i];
  }
  kept->resize(n);
  uint8_t encoded[RIDE_CAPACITY * RIDE_ENCODING];
  for (int r = 0; r < rideCount;) {
    uint64_t key = keyOf(t[r].ti);
    size_t length = 0;
    int end = r;
    for (; end < rideCount && keyOf(t[end].ti) == key; end++)
      length += encodeRide(t[end], encoded + length);
    auto at = std::lower_bound(kept->begin(), kept->end(), key,
                               [](const Kept& a, uint64_t k) { return a.key < k; });
    state->journey(at->journey, at->amount, end - r, encoded, length);
    r = end;
  }
}

}  // namespace

void settleBatches(const Day& day, const DayBatches& batches, int first, int last,
                   SettledLines* out, DayTotals* totals, StateWriter* state) {
  TermInfo infos[TAP_CAPACITY];
  RideInfo t[RIDE_CAPACITY];
  char line[LEDGER_LINE];
  std::vector<Kept> kept;
  for (int b = first; b <= last; b++) {
    tapCount = 0;
    kept.clear();
    for (size_t i = batches.start[static_cast<size_t>(b)];
         i < batches.start[static_cast<size_t>(b) + 1]; i++) {
      const DayLine& l = day.lines[batches.order[i]];
      TapNotes notes;
      (void)readTapLine(day.sources[l.source].bytes.data() + l.offset, l.length, &infos[tapCount],
                        &notes);
      totals->moneyIn += infos[tapCount].bal;
      if (state != nullptr)
        kept.push_back({day.journeys[l.journey].key, l.journey, infos[tapCount].bal});
      tapCount++;
    }
    buildRidesFrom(infos, t);
    apportionFees(t);
    if (state != nullptr) keepJourneys(&kept, t, state);
    for (int r = 0; r < rideCount; r++) {
      int ledger = t[r].tr == MODE_BUS ? BUS_LEDGER : METRO_LEDGER;
      int length = formatLedgerLine(t[r], WORDS[ledger], line);
      out->bytes[ledger].append(line, static_cast<size_t>(length));
      out->ends[ledger].push_back(static_cast<uint32_t>(out->bytes[ledger].size()));
      out->batchOf[ledger].push_back(b + 1);
      totals->rides[ledger]++;
      totals->money[ledger] += t[r].fee;
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
