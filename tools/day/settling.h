// A day's batches settled in memory through the program's own stages, the
// trace off: each batch gives exactly the ledger lines fare-settle appends
// when run in that batch's directory, in the same order.
#ifndef FARE_SETTLE_TOOLS_DAY_SETTLING_H_
#define FARE_SETTLE_TOOLS_DAY_SETTLING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "day_input.h"

constexpr int BUS_LEDGER = 0;
constexpr int METRO_LEDGER = 1;

// What the statement adds up.
struct DayTotals {
  long long rides[2] = {0, 0};
  long long money[2] = {0, 0};  // the sum of the new fees
  long long moneyIn = 0;        // the sum of the settled taps' amounts
  void add(const DayTotals& more);
};

// The lines a run of batches appends to each ledger, in order.
struct SettledLines {
  DayBytes bytes[2];            // bus, metro
  BigVector<uint32_t> ends[2];  // where each line ends in bytes, its line end included
  BigVector<int> batchOf[2];    // each line's batch, from 1
  const char* unit = "batch";   // what batchOf numbers: batches, or an amendment
  DayTotals totals;             // what these batches add to the statement
  DayBytes journeys;            // each settled journey as the state keeps it, when asked
};

// The batches of a packed day, each one's stored lines in the day's order.
struct DayBatches {
  BigVector<uint32_t> order;
  std::vector<size_t> start;
  std::vector<uint32_t> tooLong;
};

// Settles batches first..last (from 0) of the day into *out, from the taps
// its lines were read into; with `keep`, each journey's amounts and rides
// are encoded into out->journeys for the state. Touches nothing shared, so
// that groups of batches are settled on several threads at once.
void settleBatches(const Day& day, const DayBatches& batches, int first, int last,
                   SettledLines* out, bool keep);

// A batch's tap files as fare-settle-split writes them: its metro.txt and
// bus.txt, each line byte for byte with a LF.
void batchFiles(const Day& day, const DayBatches& batches, int batch, std::string* metro,
                std::string* bus);

#endif  // FARE_SETTLE_TOOLS_DAY_SETTLING_H_
