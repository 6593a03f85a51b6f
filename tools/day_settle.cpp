// Settling batches in memory: each batch's lines parsed again into the tap
// table, in the order a run reads its files, then the program's stages.
#include "day_settle.h"

#include "journey.h"
#include "ledgers.h"
#include "settlement.h"

namespace {

const char* const WORDS[2] = {"BUS", "METRO"};

}  // namespace

void settleBatches(const Day& day, const DayBatches& batches, int first, int last,
                   SettledLines* out, DayTotals* totals) {
  TermInfo infos[TAP_CAPACITY];
  RideInfo t[RIDE_CAPACITY];
  char line[LEDGER_LINE];
  for (int b = first; b <= last; b++) {
    tapCount = 0;
    for (size_t i = batches.start[static_cast<size_t>(b)];
         i < batches.start[static_cast<size_t>(b) + 1]; i++) {
      const DayLine& l = day.lines[batches.order[i]];
      TapNotes notes;
      (void)readTapLine(day.sources[l.source].bytes.data() + l.offset, l.length, &infos[tapCount],
                        &notes);
      totals->moneyIn += infos[tapCount].bal;
      tapCount++;
    }
    buildRidesFrom(infos, t);
    apportionFees(t);
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
