// The journal of a day settled by fare-settle-day: one text record a line,
// each ending with its own checksum. It names the day it belongs to, and
// for each group of batches the byte range its lines were to fill in each
// ledger, and whether the group finished.
#ifndef FARE_SETTLE_TOOLS_DAY_JOURNAL_H_
#define FARE_SETTLE_TOOLS_DAY_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

// What the journal must agree with before any group is settled: the day
// files by size and checksum, the packing, and the ledgers.
struct DayIdentity {
  std::string id;        // made once for the journal: it outlives a move of DIR, not a loss
  std::string names[2];  // as first given, for messages
  long long sizes[2] = {0, 0};
  uint64_t sums[2] = {0, 0};
  int batchTaps = 0;
  int groupBatches = 0;
  std::string ledgers[2];  // bus then metro, relative to DIR: the same through any mount
};

// The bytes a group was to write to one ledger: its lines from `skip` on,
// a line end first when `lead`, `length` bytes from byte `start`, with
// checksum `sum`. Recorded, and flushed, before the first of them is written.
struct LedgerRange {
  bool recorded = false;
  long long start = 0;
  long long skip = 0;
  bool lead = false;
  long long length = 0;
  uint64_t sum = 0;
};

// A revision of the day: 0 the day itself, recorded once it is finished;
// from 1 the amendments, each recorded before its group begins. Its files,
// its group of lines, and what it appends to each ledger.
struct Revision {
  int number = 0;
  int group = -1;  // -1: the day's own groups
  long long sizes[2] = {0, 0};
  uint64_t sums[2] = {0, 0};
  long long rides[2] = {0, 0}, money[2] = {0, 0};  // bus, metro
  long long moneyIn = 0;                           // the settled taps' amounts after it
};

// A group as the journal tells it: its last range in each ledger.
struct GroupRecord {
  LedgerRange ranges[2];  // bus, metro
  bool done = false;      // every line was on stable storage
};

class Journal {
 public:
  // Opens DIR/journal (made if absent, DIR's entry then flushed) and takes
  // its lock without waiting. Returns 0; EAGAIN with *holder set when
  // another process holds it; else the errno of the failure.
  int open(const std::string& dir, long* holder);
  ~Journal();

  // Reads the records: false when there is none yet. A torn last record is
  // cut off; any other record that is not whole and right sets *error to
  // EILSEQ and *damaged to its number, from 1. *error is also set when the
  // journal could not be read.
  bool read(DayIdentity* identity, std::vector<GroupRecord>* groups,
            std::vector<Revision>* revisions, int* error, int* damaged);

  int writeIdentity(const DayIdentity& identity);
  // Records a range and flushes it: 0 or the errno of the failure.
  int range(int group, int ledger, const LedgerRange& range, const std::string& boot);
  // Records the group done and flushes it.
  int done(int group);
  // Records a revision and flushes it.
  int revision(const Revision& r);

 private:
  int append(const std::string& body, bool flushNow);
  int fd_ = -1;
};

// A record as the journal writes it, "BODY SUM" and a line end; and its
// body, when a line (without its line end) is such a record, whole and right.
std::string sealRecord(const std::string& body);
bool checkRecord(const std::string& line, std::string* body);

// A new journal's identifier: 16 hex digits, from the host's random source.
std::string newDayId();

// The path of `to` relative to the directory `from`, both absolute and
// without links ("../ledgers/busCompany.txt").
std::string relativePath(const std::string& from, const std::string& to);

// A checksum of bytes: not against forgery, only to tell other bytes.
uint64_t checksumOf(const char* bytes, size_t size);

// The host's boot, as an identifier that changes with every boot ("" where
// unknown). Recorded with each range for the operator; never trusted.
std::string currentBoot();

#endif  // FARE_SETTLE_TOOLS_DAY_JOURNAL_H_
