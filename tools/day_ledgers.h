// The day's two ledgers, appended a group of batches at a time with the
// program's guarantees, the journal recording where each group begins.
#ifndef FARE_SETTLE_TOOLS_DAY_LEDGERS_H_
#define FARE_SETTLE_TOOLS_DAY_LEDGERS_H_

#include <string>

#include "day_settle.h"
#include "journal.h"

class DayLedgers {
 public:
  // The ledgers are opened by `paths` and named by `shown` (as given).
  DayLedgers(const std::string* paths, const std::string* shown, Journal* journal,
             std::string boot);

  // Appends the lines of group g after the first skip[l] of each ledger.
  // Returns false when the journal could not be written: the day stops.
  bool append(int g, const SettledLines& lines, const long long* skip);

  // Finishes group g, which an earlier run began: keeps the lines it finds
  // where the group began, appends the rest.
  bool recover(int g, const GroupRecord& record, const SettledLines& lines);

  // Flushes the directory of each ledger this run created.
  void flushCreated();

  long long appended = 0;  // rides appended by this run
  long long named = 0;     // rides named on standard error
  long long pending = 0;   // rides a rerun is to append

 private:
  // Names the group's rides from..to (to the end when -1) in ledger l.
  void nameRides(int l, const SettledLines& lines, long long from, const char* what,
                 const char* why, long long to = -1);
  std::string paths_[2];
  std::string shown_[2];
  bool created_[2] = {false, false};
  Journal* journal_;
  std::string boot_;
};

// Where a test kills the run: FARE_SETTLE_DAY_CRASH_AT=N ends the process
// with SIGKILL at the Nth point between two writes or flushes of a group.
void crashPoint();

#endif  // FARE_SETTLE_TOOLS_DAY_LEDGERS_H_
