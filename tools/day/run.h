// What every run of fare-settle-day shares: its options, its refusals, the
// day files read and checked, DIR held and what its journal holds.
#ifndef FARE_SETTLE_TOOLS_DAY_RUN_H_
#define FARE_SETTLE_TOOLS_DAY_RUN_H_

#include <string>
#include <vector>

#include "day_input.h"
#include "journal.h"

constexpr char ME[] = "fare-settle-day";
inline constexpr char USAGE[] =
    "usage: fare-settle-day [--batch-taps N] [--ledgers LEDGERDIR] [--again] [--threads N]\n"
    "                       METRO BUS DIR\n"
    "       fare-settle-day --amend [--ledgers LEDGERDIR] [--threads N] METRO BUS DIR\n"
    "       fare-settle-day --trace BATCH [--batch-taps N] [--threads N] METRO BUS\n"
    "       fare-settle-day --journey KEY [--batch-taps N] [--threads N] METRO BUS [DIR]\n"
    "       fare-settle-day --help | --version\n";
constexpr int GROUP_BATCHES = 10000;  // about a million taps a group
constexpr int NOT_FINISHED = 3;

struct Options {
  int batchTaps = TAP_CAPACITY;
  int threads = 1;  // threads that read and settle: by default, the cores it may use
  long trace = 0;   // a batch to trace, from 1; 0 to settle the day
  const char* ledgers = nullptr;
  bool again = false;
  bool amend = false;
  const char* journey = nullptr;  // a journey to answer for
  std::vector<const char*> paths;
};

// Says why on standard error and ends with status 2, nothing done.
[[noreturn]] void refuse(const std::string& what);

// A path the journal records is one line of it: refused otherwise.
void expectOneLine(const std::string& path);

// Both day files as they are named: regular files, and two of them.
void expectDayFiles(const Options& o);

// Reads both day files whole, each unchanged while it is read.
void readDayFiles(const Options& o, Day* day);

// A directory as an absolute path without links, refused if it has none.
std::string absolute(const std::string& dir);

// DIR/state-N: what revision N settled, for the amendment after it.
std::string statePath(const std::string& dir, int revision);

// DIR made if absent (its entry flushed), and held: the journal's lock is
// taken before the day is read, so that a second copy is refused at once.
void holdDir(const std::string& dir, Journal* journal);

// What DIR's journal holds.
struct JournalView {
  bool known = false;
  DayIdentity was;
  std::vector<GroupRecord> groups;
  std::vector<Revision> revisions;
};

JournalView readJournal(const std::string& dir, Journal* journal);

// The ledgers' record of the day files of `is`, checked and added to.
void recordBesideLedgers(const Options& o, const std::string& dirShown, const DayIdentity& is,
                         bool known, const std::string& ledgerDir);

// The runs: a day settled, a day amended, a journey answered for.
int settleDay(const Options& o);
int amendRun(const Options& o);
int journeyRun(const Options& o);

#endif  // FARE_SETTLE_TOOLS_DAY_RUN_H_
