// An amendment of a settled day: the day files as they stand now against
// the state DIR kept of what it settled last, journey by journey. A
// journey whose taps differ, as a run reads them, has each ride appended
// for it reversed (the fee negated), then its rides as the corrected day
// settles them; an unchanged journey appends nothing.
#ifndef FARE_SETTLE_TOOLS_DAY_AMENDMENT_H_
#define FARE_SETTLE_TOOLS_DAY_AMENDMENT_H_

#include <string>
#include <vector>

#include "day_input.h"
#include "settling.h"
#include "state.h"

struct Amendment {
  StateWriter next;                                // the state after it, finished by the caller
  uint64_t lineCount[2] = {0, 0};                  // each file's stored lines
  SettledLines lines;                              // what it appends to each ledger
  long long rides[2] = {0, 0}, money[2] = {0, 0};  // its lines and their fees, per ledger
  long long reversed = 0;                          // of those lines, reversals
  long long taps[2][2] = {{0, 0}, {0, 0}};         // each file's stored taps: BUS, METRO
  long long matched = 0;                           // the earlier lines found again
  long long tooLong = 0;                           // changed journeys now too long for a run
  long long moneyIn = 0;                           // the corrected day's settled taps' amounts
  std::vector<std::string> changed;                // the keys of the journeys changed
};

// Amends `was` with the day files in `sources` (read whole, not parsed):
// the lines found unchanged are not parsed again. `revision` numbers the
// amendment in its lines' notes; the state after it is written as
// `statePath`. The files are hashed on up to two of `threads`. Returns 0 or
// the errno of writing that state.
int amendDay(const DaySource* sources, const DayState& was, int revision,
             const std::string& statePath, int threads, Amendment* out);

#endif  // FARE_SETTLE_TOOLS_DAY_AMENDMENT_H_
