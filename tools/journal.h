// The journal of a day settled by fare-settle-day: one text record a line,
// each ending with its own checksum, so that a record torn by a crash is
// known and dropped. It names the day it belongs to, and for each group of
// batches where its lines began in each ledger and how far it got.
#ifndef FARE_SETTLE_TOOLS_JOURNAL_H_
#define FARE_SETTLE_TOOLS_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

// What the journal must agree with before any group is settled: the day
// files by size and checksum, the packing, and the ledgers.
struct DayIdentity {
  std::string names[2];  // as first given, for messages
  long long sizes[2] = {0, 0};
  uint64_t sums[2] = {0, 0};
  int batchTaps = 0;
  int groupBatches = 0;
  std::string ledgers[2];  // absolute paths, bus then metro
};

// Where a group's lines began in one ledger, when the group has any there.
struct LedgerStart {
  long long start = -1;  // -1: the group had no line to append here
  bool lead = false;     // a line end of the group's own came first (a torn last line)
  long long skip = 0;    // the group's first lines already in the ledger from an earlier try
  unsigned long long device = 0, file = 0;
};

// The last attempt at a group, as the journal tells it.
struct GroupRecord {
  std::string boot;                  // the host's boot the attempt ran in
  LedgerStart ledgers[2];            // bus, metro
  bool begun = false;                // a "begin" was recorded
  bool writing[2] = {false, false};  // the write to each ledger had begun
  bool wrote[2] = {false, false};    // it had returned whole
  bool done = false;                 // every line was on stable storage
};

class Journal {
 public:
  // Opens DIR/journal (made if absent) and takes its lock without waiting.
  // Returns 0; EAGAIN with *holder set when another process holds it;
  // else the errno of the failure.
  int open(const std::string& dir, long* holder);
  ~Journal();

  // Reads the records: false when there is none yet. A torn last record is
  // cut off. *error is set when the journal could not be read.
  bool read(DayIdentity* identity, std::vector<GroupRecord>* groups, int* error);

  int writeIdentity(const DayIdentity& identity);
  int begin(int group, const GroupRecord& record);
  // Records "writing" or "wrote" for a ledger (0 bus, 1 metro), or "done"
  // (ledger -1); not flushed.
  int mark(int group, const char* what, int ledger = -1);
  int flush();

 private:
  int append(const std::string& body, bool flushNow);
  int fd_ = -1;
  std::string path_;
};

// A day file's checksum: not against forgery, only to tell another day.
uint64_t checksumOf(const char* bytes, size_t size);

// The host's boot, as an identifier that changes with every boot ("" where
// unknown: no boot is then taken for this one).
std::string currentBoot();

#endif  // FARE_SETTLE_TOOLS_JOURNAL_H_
