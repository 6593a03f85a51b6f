// The day's two ledgers, appended a group of batches at a time with the
// program's guarantees, the journal recording the bytes each group fills.
#ifndef FARE_SETTLE_TOOLS_DAY_APPENDER_H_
#define FARE_SETTLE_TOOLS_DAY_APPENDER_H_

#include <string>
#include <vector>

#include "journal.h"
#include "notes.h"
#include "settling.h"

// How a group ended.
enum class GroupEnd : unsigned char {
  DONE,        // every line on stable storage, the journal says so
  UNFINISHED,  // stopped short, nothing lost: the same command again finishes it
  HELD,        // stopped short on something a person must look at
  REFUSED,     // the journal's bytes are not this day's: nothing was done
};

class DayLedgers {
 public:
  // The ledgers are opened by `paths` and named by `shown` (as given).
  DayLedgers(const std::string* paths, const std::string* shown, Journal* journal, DayNotes* notes);

  // Settles group g: finishes what an earlier run began of it (`record`),
  // appends the rest, flushes the ledgers and records the group done.
  GroupEnd settle(int g, const GroupRecord& record, const SettledLines& lines);

  long long appended = 0;  // rides appended by this run
  long long before = 0;    // rides of unfinished groups found appended by an earlier run
  // "G L START LENGTH SUM" of each range of the groups this run finished.
  std::vector<std::string> ranges;

 private:
  struct Ledger;
  GroupEnd recover(int g, Ledger& ledger, const LedgerRange& range, const SettledLines& lines);
  GroupEnd write(int g, Ledger& ledger, const SettledLines& lines, long long from);
  GroupEnd finish(int g, Ledger* ledgers, const SettledLines& lines);
  // Names the group's rides from..to (to the end when -1) in ledger l.
  void nameRides(int l, const SettledLines& lines, long long from, const char* what,
                 const std::string& why, long long to = -1);
  std::string paths_[2];
  std::string shown_[2];
  Journal* journal_;
  DayNotes* notes_;
  std::string boot_;
  bool dirFlushed_[2] = {false, false};
};

// Where a test kills the run: FARE_SETTLE_DAY_CRASH_AT=N ends the process
// with SIGKILL at the Nth point between two writes or flushes of a group.
void crashPoint();

#endif  // FARE_SETTLE_TOOLS_DAY_APPENDER_H_
