// fare-settle-day [--batch-taps N] [--ledgers LEDGERDIR] [--again] METRO BUS DIR:
// settles a whole day in one process, batch by batch exactly as
// fare-settle-split and fare-settle run them, appending to DIR's ledgers
// (or LEDGERDIR's) in large groups of batches, each flushed once, with a
// journal in DIR that lets a rerun after any stop finish the day exactly.
// fare-settle-day --trace BATCH [--batch-taps N] METRO BUS writes one
// batch's trace and notes, byte for byte as fare-settle writes them there.
// Exit status: 0 settled; 1 settled, lines or rides named; 2 refused,
// nothing done; 3 not finished, nothing lost: the same command again.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "day_amend.h"
#include "day_input.h"
#include "day_ledgers.h"
#include "day_notes.h"
#include "day_record.h"
#include "day_settle.h"
#include "day_state.h"
#include "durable.h"
#include "journal.h"
#include "journey.h"
#include "ledgers.h"
#include "platform.h"
#include "settlement.h"

namespace {

constexpr char ME[] = "fare-settle-day";
constexpr char USAGE[] =
    "usage: fare-settle-day [--batch-taps N] [--ledgers LEDGERDIR] [--again] METRO BUS DIR\n"
    "       fare-settle-day --amend [--ledgers LEDGERDIR] METRO BUS DIR\n"
    "       fare-settle-day --trace BATCH [--batch-taps N] METRO BUS\n"
    "       fare-settle-day --journey KEY [--batch-taps N] METRO BUS [DIR]\n"
    "       fare-settle-day --help | --version\n";
constexpr int GROUP_BATCHES = 10000;  // about a million taps a group
constexpr int NOT_FINISHED = 3;

struct Options {
  int batchTaps = TAP_CAPACITY;
  long trace = 0;  // a batch to trace, from 1; 0 to settle the day
  const char* ledgers = nullptr;
  bool again = false;
  bool amend = false;
  const char* journey = nullptr;  // a journey to answer for
  std::vector<const char*> paths;
};

[[noreturn]] void refuse(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", ME, what.c_str());
  std::exit(2);
}

// Accepts decimal digits only, from 1 to `max`.
long count(const char* option, const char* text, long max) {
  bool digits = *text != '\0' && std::strspn(text, "0123456789") == std::strlen(text);
  long v = 0;
  for (const char* p = text; digits && *p != '\0' && v <= max; p++) v = v * 10 + (*p - '0');
  if (!digits || v < 1 || v > max)
    usageError(ME, (std::string(option) + ": not a count from 1 to " + std::to_string(max)).c_str(),
               text, USAGE);
  return v;
}

// A path the journal records is one line of it.
void expectOneLine(const std::string& path) {
  if (path.find('\n') == std::string::npos) return;
  std::string shown = path;
  for (size_t at; (at = shown.find('\n')) != std::string::npos;) shown.replace(at, 1, "\\n");
  refuse(shown + ": a path with a line end cannot be recorded; give another");
}

Options parse(int argc, char** argv) {
  answerHelpAndVersion(argc, argv, ME, USAGE);
  Options o;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    bool valued = std::strcmp(arg, "--batch-taps") == 0 || std::strcmp(arg, "--ledgers") == 0 ||
                  std::strcmp(arg, "--trace") == 0 || std::strcmp(arg, "--journey") == 0;
    if (valued && i + 1 >= argc) usageError(ME, "option needs a value", arg, USAGE);
    if (std::strcmp(arg, "--batch-taps") == 0)
      o.batchTaps = static_cast<int>(count(arg, argv[++i], TAP_CAPACITY));
    else if (std::strcmp(arg, "--trace") == 0)
      o.trace = count(arg, argv[++i], INT_MAX);
    else if (std::strcmp(arg, "--ledgers") == 0)
      o.ledgers = argv[++i];
    else if (std::strcmp(arg, "--again") == 0)
      o.again = true;
    else if (std::strcmp(arg, "--amend") == 0)
      o.amend = true;
    else if (std::strcmp(arg, "--journey") == 0)
      o.journey = argv[++i];
    else if (std::strcmp(arg, "--") == 0)
      for (i++; i < argc; i++) o.paths.push_back(argv[i]);
    else if (arg[0] == '-' && arg[1] != '\0')
      usageError(ME, "unknown option", arg, USAGE);
    else
      o.paths.push_back(arg);
  }
  const size_t wanted = o.trace > 0 || (o.journey != nullptr && o.paths.size() < 3) ? 2 : 3;
  if (o.journey != nullptr && (o.trace > 0 || o.amend || o.again))
    usageError(ME, "--journey answers, it settles nothing", o.journey, USAGE);
  if (o.paths.size() > wanted) usageError(ME, "one path too many", o.paths[wanted], USAGE);
  if (o.paths.size() < wanted)
    usageError(ME, o.trace > 0 ? "METRO and BUS are needed" : "METRO, BUS and DIR are needed",
               nullptr, USAGE);
  if (o.amend && o.trace > 0) usageError(ME, "--trace amends nothing", "--amend", USAGE);
  if (o.trace > 0 && (o.ledgers != nullptr || o.again))
    usageError(ME, "--trace writes no ledger", o.ledgers != nullptr ? "--ledgers" : "--again",
               USAGE);
  if (o.ledgers != nullptr) expectOneLine(o.ledgers);
  for (const char* p : o.paths) expectOneLine(p);
  return o;
}

// Both day files as they are named: regular files, and two of them. Checked
// before DIR is made or locked, so that a refusal leaves nothing behind.
void expectDayFiles(const Options& o) {
  struct stat st[2];
  for (int s = 0; s < 2; s++) {
    const char* name = o.paths[static_cast<size_t>(s)];
    if (stat(name, &st[s]) != 0) refuse(std::string(name) + ": " + std::strerror(errno));
    if (!S_ISREG(st[s].st_mode)) refuse(std::string(name) + ": " + describe(NOT_REGULAR_FILE));
  }
  if (st[0].st_dev == st[1].st_dev && st[0].st_ino == st[1].st_ino)
    refuse(std::string(o.paths[0]) + " and " + o.paths[1] +
           " are the same file; its taps would be settled twice");
}

// Reads both day files whole, each unchanged while it is read.
void readDayFiles(const Options& o, Day* day) {
  expectDayFiles(o);
  FileId ids[2];
  for (int s = 0; s < 2; s++) {
    day->sources[s].name = o.paths[static_cast<size_t>(s)];
    if (int error = readWholeFile(day->sources[s].name, &day->sources[s].bytes, &ids[s]))
      refuse(std::string(day->sources[s].name) + ": " + describeRead(error));
  }
  if (ids[0] == ids[1])  // swapped in between
    refuse(std::string(o.paths[0]) + " and " + o.paths[1] + " are the same file");
}

FILE* openBytes(const std::string& bytes) {
  if (bytes.empty()) return std::fopen("/dev/null", "rb");
  return fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
}

// One batch as fare-settle runs it in the split's directory for it.
int traceBatch(const Day& day, const DayBatches& batches, long batch) {
  if (batch > day.batches)
    refuse("no batch " + std::to_string(batch) + ": the day makes " + std::to_string(day.batches));
  std::string metro, bus;
  batchFiles(day, batches, static_cast<int>(batch) - 1, &metro, &bus);
  FILE* files[2] = {openBytes(metro), openBytes(bus)};
  if (files[0] == nullptr || files[1] == nullptr)
    refuse(std::string("memory: ") + std::strerror(errno));
  TermInfo infos[TAP_CAPACITY] = {};
  RideInfo t[RIDE_CAPACITY];
  (void)readTapStreams(files[0], files[1], infos);
  for (FILE* f : files) (void)std::fclose(f);
  buildRidesFrom(infos, t);
  apportionFees(t);
  finishTrace();
  return 0;
}

std::string absolute(const std::string& dir) {
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) refuse(dir + ": " + std::strerror(errno));
  expectOneLine(resolved);
  return resolved;
}

// The journal's day against this one: the same files, packing and ledgers.
void expectSameDay(const std::string& dir, const DayIdentity& was, const DayIdentity& is) {
  for (int s = 0; s < 2; s++) {
    if (was.sizes[s] != is.sizes[s] || was.sums[s] != is.sums[s])
      refuse(dir + ": its journal is of other day files (" + was.names[s] + ", " +
             std::to_string(was.sizes[s]) + " bytes); give those, amend them with --amend, " +
             "or give another DIR");
  }
  if (was.batchTaps != is.batchTaps)
    refuse(dir + ": its journal is of batches of " + std::to_string(was.batchTaps) + " taps");
  for (int l = 0; l < 2; l++)
    if (was.ledgers[l] != is.ledgers[l])
      refuse(dir + ": its journal is of the ledger " + was.ledgers[l] + ", from DIR");
}

struct TooLong {
  long long journeys = 0, taps = 0, amounts = 0;
};

TooLong tooLongOf(const Day& day, const DayBatches& batches) {
  TooLong t;
  for (const DayJourney& j : day.journeys) t.journeys += j.batch < 0;
  for (uint32_t i : batches.tooLong) {
    const DayLine& l = day.lines[i];
    TermInfo tap;
    TapNotes notes;
    (void)readTapLine(day.sources[l.source].bytes.data() + l.offset, l.length, &tap, &notes);
    t.taps++;
    t.amounts += tap.bal;
  }
  return t;
}

// Rides appended by this run, by earlier runs, and not at all.
struct Appended {
  long long now = 0, before = 0;
};

// What the statement says besides the day's own counts.
struct StatementFacts {
  std::string dir;  // absolute
  uint64_t sums[2] = {0, 0};
  const DayNotes* notes = nullptr;
  long long linesNamed = 0;
  Appended appended;
};

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc = {};
  char text[32] = "";
  if (gmtime_r(&now, &utc) != nullptr)
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

std::string hex(uint64_t v) {
  char text[17];
  (void)std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// A count or sum, with its sign when it is an amendment's change.
std::string signedText(long long v, int revision) {
  char text[24];
  (void)std::snprintf(text, sizeof text, revision > 0 ? "%+lld" : "%lld", v);
  return text;
}

std::string statement(const Day& day, const DayBatches& batches, const DayTotals& totals,
                      const StatementFacts& facts) {
  TooLong t = tooLongOf(day, batches);
  long long rides = totals.rides[0] + totals.rides[1];
  long long out = totals.money[0] + totals.money[1];
  std::string s = "statement of the day in " + facts.dir + "\n";
  s += std::string(ME) + " " + FARE_SETTLE_VERSION + ", run at " + utcNow() + " UTC\n";
  for (int f = 0; f < 2; f++)
    s += std::string("day file ") + day.sources[f].name + ": " +
         std::to_string(day.sources[f].bytes.size()) + " bytes, checksum " + hex(facts.sums[f]) +
         ", taps " + std::to_string(day.tapsRead[f]) + " (METRO " +
         std::to_string(day.tapsByMode[f][1]) + ", BUS " + std::to_string(day.tapsByMode[f][0]) +
         ")\n";
  for (int f = 0; f < 2; f++)
    s += std::string("taps read from ") + day.sources[f].name + ": " +
         std::to_string(day.tapsRead[f]) + "\n";
  s += "lines named: " + std::to_string(facts.linesNamed) + "\n";
  for (const auto& [cause, count] : facts.notes->causes())
    if (!cause.starts_with("rides ")) s += "  " + std::to_string(count) + " " + cause + "\n";
  s += "taps settled: " + std::to_string(batches.order.size()) + "\n";
  s += "journeys settled: " +
       std::to_string(static_cast<long long>(day.journeys.size()) - t.journeys) + "\n";
  s += "journeys too long: " + std::to_string(t.journeys) + " (" + std::to_string(t.taps) +
       " taps, amounts " + std::to_string(t.amounts) + ", not settled)\n";
  s += "batches: " + std::to_string(day.batches) + "\n";
  s += "bus company: " + std::to_string(totals.rides[0]) + " rides, money " +
       std::to_string(totals.money[0]) + "\n";
  s += "metro company: " + std::to_string(totals.rides[1]) + " rides, money " +
       std::to_string(totals.money[1]) + "\n";
  s += "money in: " + std::to_string(totals.moneyIn) + "\n";
  s += "money out: " + std::to_string(out) + "\n";
  s += "rounding difference: " + std::to_string(out - totals.moneyIn) + "\n";
  std::string where;
  const Appended& a = facts.appended;
  long long missing = rides - a.now - a.before;
  if (a.before > 0) where = std::to_string(a.before) + " appended before";
  if (missing > 0) where += (where.empty() ? "" : ", ") + std::to_string(missing) + " not appended";
  s += "rides appended by this run: " + std::to_string(a.now) + " of " + std::to_string(rides) +
       (where.empty() ? "" : " (" + where + ")") + "\n";
  return s;
}

// The money for import: a row per revision per company, each the lines
// that revision appended to that company's ledger and the sum of their fees.
std::string statementCsv(std::vector<Revision> revisions, const DayTotals& totals) {
  if (revisions.empty())  // the day not finished: what it will append
    revisions.push_back({0,
                         -1,
                         {0, 0},
                         {0, 0},
                         {totals.rides[0], totals.rides[1]},
                         {totals.money[0], totals.money[1]},
                         totals.moneyIn});
  std::string csv = "revision,company,rides,money\n";
  const char* const companies[2] = {"bus", "metro"};
  for (const Revision& r : revisions)
    for (int l = 0; l < 2; l++)
      csv += std::to_string(r.number) + "," + companies[l] + "," + std::to_string(r.rides[l]) +
             "," + std::to_string(r.money[l]) + "\n";
  return csv;
}

// DIR/state-N: what revision N settled, for the amendment after it.
std::string statePath(const std::string& dir, int revision) {
  return dir + "/state-" + std::to_string(revision);
}

int groupBatches() {
  const char* given = std::getenv("FARE_SETTLE_DAY_GROUP_BATCHES");  // for tests
  return given != nullptr && std::atoi(given) > 0 ? std::atoi(given) : GROUP_BATCHES;
}

// DIR made if absent (its entry flushed), and held: the journal's lock is
// taken before the day is read, so that a second copy is refused at once.
void holdDir(const std::string& dir, Journal* journal) {
  if (mkdir(dir.c_str(), 0777) == 0) {
    if (int error = flushDirectoryAt(parentOf(dir))) refuse(dir + ": " + std::strerror(error));
  } else if (errno != EEXIST) {
    refuse(dir + ": " + std::strerror(errno));
  }
  long holder = 0;
  if (int error = journal->open(dir, &holder)) {
    if (error == EAGAIN) refuse(dir + ": in use by process " + std::to_string(holder));
    refuse(dir + "/journal: " + std::strerror(error));
  }
}

// What DIR's journal holds.
struct JournalView {
  bool known = false;
  DayIdentity was;
  std::vector<GroupRecord> groups;
  std::vector<Revision> revisions;
};

JournalView readJournal(const std::string& dir, Journal* journal) {
  JournalView v;
  int error = 0, damaged = 0;
  v.known = journal->read(&v.was, &v.groups, &v.revisions, &error, &damaged);
  if (damaged > 0)
    refuse(dir + "/journal: record " + std::to_string(damaged) +
           " is damaged; the day cannot be finished from it");
  if (error != 0) refuse(dir + "/journal: " + std::strerror(error));
  return v;
}

// The ledgers' record of the day files of `is`, checked and added to.
void recordBesideLedgers(const Options& o, const std::string& dirShown, const DayIdentity& is,
                         bool known, const std::string& ledgerDir) {
  std::string by;
  int damaged = 0;
  int error = settledDays(ledgerDir, is, dirShown, !known, o.again, &by, &damaged);
  if (error == EILSEQ)
    refuse(ledgerDir + "/settled-days: record " + std::to_string(damaged) + " is damaged");
  if (error != 0) refuse(ledgerDir + "/settled-days: " + std::strerror(error));
  if (!by.empty())
    refuse(ledgerDir + ": its ledgers hold these day files already, settled from " + by +
           (known ? "" : " (whose journal is not this one)") +
           "; run there to finish them, or give --again to settle them a second time");
}

// The day as the journal knows it, checked or recorded, and recorded beside the ledgers.
JournalView agreeOnDay(const Options& o, const std::string& dir, const std::string& dirShown,
                       Journal* journal, DayIdentity* is, const std::string& ledgerDir) {
  JournalView v = readJournal(dir, journal);
  const bool known = v.known;
  const DayIdentity& was = v.was;
  int error = 0;
  if (known) {
    expectSameDay(dir, was, *is);
    is->groupBatches = was.groupBatches > 0 ? was.groupBatches : is->groupBatches;
    is->id = was.id;
  } else {
    is->id = newDayId();
  }
  // Recorded beside the ledgers before the journal is, so that a journal
  // never stands for a day the ledgers refused.
  recordBesideLedgers(o, dirShown, *is, known, ledgerDir);
  if (!known && (error = journal->writeIdentity(*is)) != 0)
    refuse(dir + "/journal: " + std::strerror(error));
  return v;
}

// What the day's files say before any batch: odd lines, a file cut short, no taps.
void noteInput(const Day& day, DayNotes* notes) {
  (void)noteDay(day, true);
  for (int s = 0; s < 2; s++)
    if (day.unended[s] > 0)
      reportLine("%s:%llu: no line end; the file may still be being written\n", day.sources[s].name,
                 static_cast<unsigned long long>(day.unended[s]));
  if (day.lines.empty())
    notes->add("no taps", std::string(ME) + ": " + day.sources[0].name + " and " +
                              day.sources[1].name + " hold no taps\n");
}

// Each revision's change to each company, and the totals as they now stand.
std::string revisionsText(const std::vector<Revision>& revisions) {
  std::string s;
  long long rides[2] = {0, 0}, money[2] = {0, 0};
  const char* const companies[2] = {"bus company", "metro company"};
  for (const Revision& r : revisions) {
    s += r.number == 0 ? "the day:" : "amendment " + std::to_string(r.number) + ":";
    for (int l = 0; l < 2; l++) {
      s += std::string(l == 0 ? " " : "; ") + companies[l] + " " +
           signedText(r.rides[l], r.number) + " rides, money " + signedText(r.money[l], r.number);
      rides[l] += r.rides[l];
      money[l] += r.money[l];
    }
    s += "\n";
  }
  for (int l = 0; l < 2; l++)
    s += std::string(companies[l]) + " as it now stands: " + std::to_string(rides[l]) +
         " rides, money " + std::to_string(money[l]) + "\n";
  return s;
}

int settleDay(const Options& o) {
  const std::string dir = o.paths[2];
  expectDayFiles(o);
  Journal journal;
  holdDir(dir, &journal);
  const std::string dirShown = absolute(dir);
  Day day;
  readDayFiles(o, &day);
  readDay(&day);
  packDay(&day, o.batchTaps);
  DayBatches packed;
  linesByBatch(day, &packed.order, &packed.start, &packed.tooLong);
  DayIdentity is;
  std::string ledgerDir = absolute(o.ledgers != nullptr ? o.ledgers : dir);
  for (int s = 0; s < 2; s++) {
    is.names[s] = day.sources[s].name;
    is.sizes[s] = static_cast<long long>(day.sources[s].bytes.size());
    is.sums[s] = checksumOf(day.sources[s].bytes.data(), day.sources[s].bytes.size());
  }
  is.batchTaps = o.batchTaps;
  is.groupBatches = groupBatches();
  const std::string paths[2] = {ledgerDir + "/busCompany.txt", ledgerDir + "/metroCompany.txt"};
  for (int l = 0; l < 2; l++) is.ledgers[l] = relativePath(dirShown, paths[l]);
  JournalView view = agreeOnDay(o, dir, dirShown, &journal, &is, ledgerDir);
  const std::vector<GroupRecord>& groups = view.groups;
  // What an amendment will need, kept once the day is finished.
  const bool keep = view.revisions.empty();
  StateWriter state;
  int stateError = keep ? state.open(statePath(dir, 0), day.lines.size(), day.journeys.size()) : 0;
  // Its lines and keys on the other core, while the batches are settled here.
  std::thread front;
  if (keep && stateError == 0) front = std::thread([&] { state.front(day); });

  DayNotes notes;
  notes.collectReports();
  noteInput(day, &notes);
  const long long linesNamed = notes.count();
  const std::string given = o.ledgers != nullptr ? o.ledgers : dir;
  const std::string shown[2] = {given + "/busCompany.txt", given + "/metroCompany.txt"};
  DayLedgers ledgers(paths, shown, &journal, &notes);
  DayTotals totals;
  Appended appended;
  const bool progress = isatty(2) != 0;
  GroupEnd end = GroupEnd::DONE;
  for (int first = 0, g = 0; first < day.batches; first += is.groupBatches, g++) {
    int last = std::min(first + is.groupBatches, day.batches) - 1;
    SettledLines lines;
    settleBatches(day, packed, first, last, &lines, &totals, keep ? &state : nullptr);
    if (end != GroupEnd::DONE) continue;  // the statement still counts the whole day
    GroupRecord none;
    const GroupRecord& record =
        static_cast<size_t>(g) < groups.size() ? groups[static_cast<size_t>(g)] : none;
    if (record.done) {
      appended.before += static_cast<long long>(lines.ends[0].size() + lines.ends[1].size());
      continue;
    }
    if (stopRequest() != nullptr) {
      end = GroupEnd::UNFINISHED;
      continue;
    }
    end = ledgers.settle(g, record, lines);
    if (end == GroupEnd::REFUSED) {
      if (front.joinable()) front.join();
      refuse(dir + ": the day was not changed");
    }
    if (progress) std::fprintf(stderr, "\r%s: batch %d of %d ", ME, last + 1, day.batches);
  }
  if (progress) std::fputc('\n', stderr);
  if (front.joinable()) front.join();
  if (!ledgers.ranges.empty()) {
    if (int e = recordRanges(ledgerDir, is.id, ledgers.ranges))
      reportLine("%s: %s/settled-days: %s\n", ME, ledgerDir.c_str(), std::strerror(e));
  }
  if (end == GroupEnd::DONE && keep) {
    // The state first: a journal that says the day is finished finds it there.
    Revision day0 = {0,
                     -1,
                     {is.sizes[0], is.sizes[1]},
                     {is.sums[0], is.sums[1]},
                     {totals.rides[0], totals.rides[1]},
                     {totals.money[0], totals.money[1]},
                     totals.moneyIn};
    const uint64_t sizes[2] = {static_cast<uint64_t>(is.sizes[0]),
                               static_cast<uint64_t>(is.sizes[1])};
    const uint64_t lines[2] = {static_cast<uint64_t>(day.tapsRead[0]),
                               static_cast<uint64_t>(day.tapsRead[1])};
    int e = stateError != 0 ? stateError : state.finish(sizes, is.sums, lines);
    if (e == 0) e = journal.revision(day0);
    if (e == 0) view.revisions.push_back(day0);
    if (e != 0) {
      reportLine("%s: %s: what an amendment needs was not kept: %s\n", ME, dir.c_str(),
                 std::strerror(e));
      end = GroupEnd::UNFINISHED;
    }
  }
  appended.now = ledgers.appended;
  appended.before += ledgers.before;
  notes.finish(end == GroupEnd::UNFINISHED && stopRequest() == nullptr);
  if (stopRequest() != nullptr)
    reportLine("%s: %s: %s before the day was settled; run the same command again to finish it\n",
               ME, dir.c_str(), describe(STOPPED));
  else if (end == GroupEnd::UNFINISHED)
    reportLine("%s: %s: the day is not finished; run the same command again to finish it\n", ME,
               dir.c_str());
  else if (end == GroupEnd::HELD)
    reportLine(
        "%s: %s: the day is not finished; look at the rides named above before running "
        "the same command again\n",
        ME, dir.c_str());
  StatementFacts facts = {dirShown, {is.sums[0], is.sums[1]}, &notes, linesNamed, appended};
  std::string text = statement(day, packed, totals, facts);
  if (view.revisions.size() > 1) text += "amended since:\n" + revisionsText(view.revisions);
  (void)std::fputs(text.c_str(), stdout);
  if (int e = writeDurably(dir + "/statement.txt", text))
    reportLine("%s: %s/statement.txt: %s\n", ME, dir.c_str(), std::strerror(e));
  if (int e = writeDurably(dir + "/statement.csv", statementCsv(view.revisions, totals)))
    reportLine("%s: %s/statement.csv: %s\n", ME, dir.c_str(), std::strerror(e));
  if (int e = writeDurably(dir + "/notes.txt", notes.text()))
    reportLine("%s: %s/notes.txt: %s\n", ME, dir.c_str(), std::strerror(e));
  if (std::fflush(stdout) != 0) reportLine("%s: standard output: %s\n", ME, std::strerror(errno));
  endIfStopped();
  if (end == GroupEnd::UNFINISHED) return NOT_FINISHED;
  return notes.count() > 0 ? 1 : 0;
}

std::string amendedStatement(const std::string& dir, const Day& day, const uint64_t* sums,
                             const Amendment& a, const std::vector<Revision>& revisions,
                             const Appended& appended) {
  std::string s = "statement of the day in " + dir + ", amended\n";
  s += std::string(ME) + " " + FARE_SETTLE_VERSION + ", run at " + utcNow() + " UTC\n";
  for (int f = 0; f < 2; f++)
    s += std::string("day file ") + day.sources[f].name + ": " +
         std::to_string(day.sources[f].bytes.size()) + " bytes, checksum " + hex(sums[f]) +
         ", taps " + std::to_string(a.lineCount[f]) + " (METRO " + std::to_string(a.taps[f][1]) +
         ", BUS " + std::to_string(a.taps[f][0]) + ")\n";
  s += revisionsText(revisions);
  long long out = 0;
  for (const Revision& r : revisions) out += r.money[0] + r.money[1];
  s += "money in: " + std::to_string(a.moneyIn) + "\n";
  s += "money out: " + std::to_string(out) + "\n";
  s += "rounding difference: " + std::to_string(out - a.moneyIn) + "\n";
  s += "journeys changed by amendment " + std::to_string(revisions.back().number) + ": " +
       std::to_string(a.changed.size()) + " (" + std::to_string(a.tooLong) + " now too long)\n";
  long long rides = a.rides[0] + a.rides[1];
  s += "rides appended by this run: " + std::to_string(appended.now) + " of " +
       std::to_string(rides) +
       (appended.before > 0 ? " (" + std::to_string(appended.before) + " appended before)" : "") +
       "\n";
  return s;
}

// DIR/amendment-N.txt: what amendment N changed.
std::string amendmentReport(const std::string& dir, const Day& day, const uint64_t* sums,
                            const Amendment& a, int n) {
  std::string s = "amendment " + std::to_string(n) + " of the day in " + dir + "\n";
  for (int f = 0; f < 2; f++)
    s += std::string("day file ") + day.sources[f].name + ": " +
         std::to_string(day.sources[f].bytes.size()) + " bytes, checksum " + hex(sums[f]) + "\n";
  s += "journeys changed: " + std::to_string(a.changed.size()) + " (" + std::to_string(a.tooLong) +
       " now too long)\n";
  s += "rides reversed: " + std::to_string(a.reversed) + "\n";
  s += "rides appended: " + std::to_string(a.rides[0] + a.rides[1] - a.reversed) +
       " (besides the reversals)\n";
  const char* const companies[2] = {"bus company", "metro company"};
  for (int l = 0; l < 2; l++)
    s += std::string(companies[l]) + ": " + signedText(a.rides[l], n) + " lines, money " +
         signedText(a.money[l], n) + "\n";
  s += "journeys:\n";
  for (const std::string& key : a.changed) s += key + "\n";
  return s;
}

int amendRun(const Options& o) {
  const std::string dir = o.paths[2];
  expectDayFiles(o);
  struct stat st;
  if (stat((dir + "/journal").c_str(), &st) != 0) refuse(dir + ": no day was settled here");
  Journal journal;
  holdDir(dir, &journal);
  const std::string dirShown = absolute(dir);
  JournalView view = readJournal(dir, &journal);
  if (!view.known || view.revisions.empty())
    refuse(dir + ": its day is not finished; run its own command again before amending it");
  Day day;
  readDayFiles(o, &day);
  DayIdentity is = view.was;
  for (int s = 0; s < 2; s++) {
    is.names[s] = day.sources[s].name;
    is.sizes[s] = static_cast<long long>(day.sources[s].bytes.size());
    is.sums[s] = checksumOf(day.sources[s].bytes.data(), day.sources[s].bytes.size());
  }
  const std::string ledgerDir = absolute(o.ledgers != nullptr ? o.ledgers : dir);
  const std::string paths[2] = {ledgerDir + "/busCompany.txt", ledgerDir + "/metroCompany.txt"};
  for (int l = 0; l < 2; l++)
    if (relativePath(dirShown, paths[l]) != view.was.ledgers[l])
      refuse(dir + ": its journal is of the ledger " + view.was.ledgers[l] + ", from DIR");
  const Revision& last = view.revisions.back();
  auto doneGroup = [&](int g) {
    return g >= 0 && static_cast<size_t>(g) < view.groups.size() &&
           view.groups[static_cast<size_t>(g)].done;
  };
  bool same = true;
  for (int s = 0; s < 2; s++)
    same = same && last.sizes[s] == is.sizes[s] && last.sums[s] == is.sums[s];
  if (!same && last.number > 0 && !doneGroup(last.group))
    refuse(dir + ": amendment " + std::to_string(last.number) +
           " is not finished; run it again with its day files (" + std::to_string(last.sizes[0]) +
           " and " + std::to_string(last.sizes[1]) + " bytes)");
  // A finished amendment's state before it goes once its reports are written.
  struct stat before;
  bool reported = last.number == 0 || stat(statePath(dir, last.number - 1).c_str(), &before) != 0;
  if (same && (last.number == 0 || doneGroup(last.group)) && reported) {
    std::printf(
        "%s: %s: these day files are %s, settled; nothing to amend\n", ME, dirShown.c_str(),
        last.number == 0 ? "the day's own" : ("amendment " + std::to_string(last.number)).c_str());
    return 0;
  }
  const int n = same ? last.number : last.number + 1;
  const int group = same ? last.group : static_cast<int>(view.groups.size());
  DayState was;
  if (int e = readState(statePath(dir, n - 1), &was))
    refuse(statePath(dir, n - 1) + ": " +
           (e == EILSEQ ? "not a state this version reads" : std::strerror(e)));
  recordBesideLedgers(o, dirShown, is, true, ledgerDir);

  DayNotes notes;
  notes.collectReports();
  Amendment a;
  int error = amendDay(day.sources, was, n, statePath(dir, n), &a);
  if (error == EDOM)
    refuse(std::string(day.sources[0].name) + " and " + day.sources[1].name + " are not the day " +
           dir + " settled: only " + std::to_string(a.matched) + " of its " +
           std::to_string(was.lines) + " taps are in them");
  const uint64_t sizes[2] = {static_cast<uint64_t>(is.sizes[0]),
                             static_cast<uint64_t>(is.sizes[1])};
  if (error == 0) error = a.next.finish(sizes, is.sums, a.lineCount);
  Revision r = {n,
                group,
                {is.sizes[0], is.sizes[1]},
                {is.sums[0], is.sums[1]},
                {a.rides[0], a.rides[1]},
                {a.money[0], a.money[1]},
                a.moneyIn};
  if (error == 0 && !same) error = journal.revision(r);
  if (error != 0) {
    reportLine("%s: %s: amendment %d not begun: %s; run the same command again\n", ME, dir.c_str(),
               n, std::strerror(error));
    return NOT_FINISHED;
  }
  if (!same) view.revisions.push_back(r);
  const std::string given = o.ledgers != nullptr ? o.ledgers : dir;
  const std::string shown[2] = {given + "/busCompany.txt", given + "/metroCompany.txt"};
  DayLedgers ledgers(paths, shown, &journal, &notes);
  GroupRecord none;
  const GroupRecord& record = static_cast<size_t>(group) < view.groups.size()
                                  ? view.groups[static_cast<size_t>(group)]
                                  : none;
  GroupEnd end = GroupEnd::DONE;
  if (record.done)
    ledgers.before += static_cast<long long>(a.lines.ends[0].size() + a.lines.ends[1].size());
  else if (a.lines.ends[0].empty() && a.lines.ends[1].empty())
    end = journal.done(group) == 0 ? GroupEnd::DONE : GroupEnd::UNFINISHED;
  else
    end = ledgers.settle(group, record, a.lines);
  if (end == GroupEnd::REFUSED) refuse(dir + ": the amendment was not appended");
  if (!ledgers.ranges.empty()) {
    if (int e = recordRanges(ledgerDir, is.id, ledgers.ranges))
      reportLine("%s: %s/settled-days: %s\n", ME, ledgerDir.c_str(), std::strerror(e));
  }
  notes.finish(end == GroupEnd::UNFINISHED && stopRequest() == nullptr);
  if (stopRequest() != nullptr || end == GroupEnd::UNFINISHED)
    reportLine("%s: %s: amendment %d is not finished; run the same command again to finish it\n",
               ME, dir.c_str(), n);
  Appended appended;
  appended.now = ledgers.appended;
  appended.before = ledgers.before;
  std::string text = amendedStatement(dirShown, day, is.sums, a, view.revisions, appended);
  (void)std::fputs(text.c_str(), stdout);
  const std::pair<std::string, std::string> files[] = {
      {"/statement.txt", text},
      {"/statement.csv", statementCsv(view.revisions, DayTotals())},
      {"/amendment-" + std::to_string(n) + ".txt", amendmentReport(dirShown, day, is.sums, a, n)},
      {"/notes.txt", notes.text()}};
  bool written = true;
  for (const auto& [name, bytes] : files) {
    if (int e = writeDurably(dir + name, bytes)) {
      reportLine("%s: %s%s: %s\n", ME, dir.c_str(), name.c_str(), std::strerror(e));
      written = false;
    }
  }
  // The next amendment starts from this one's state; a rerun finds the
  // one before only while this one's reports may be missing.
  if (end == GroupEnd::DONE && written) (void)unlink(statePath(dir, n - 1).c_str());
  if (std::fflush(stdout) != 0) reportLine("%s: standard output: %s\n", ME, std::strerror(errno));
  endIfStopped();
  if (end == GroupEnd::UNFINISHED) return NOT_FINISHED;
  return notes.count() > 0 ? 1 : 0;
}

// What DIR's amendments say of journey `key`: "N how" for each that changed it.
std::vector<std::string> historyOf(const std::string& dir, const std::string& key) {
  std::vector<std::string> history;
  for (int n = 1;; n++) {
    FILE* in = std::fopen((dir + "/amendment-" + std::to_string(n) + ".txt").c_str(), "r");
    if (in == nullptr) break;
    char line[256];
    bool listed = false;
    while (std::fgets(line, sizeof line, in) != nullptr) {
      std::string text(line, std::strcspn(line, "\n"));
      if (text == "journeys:") listed = true;
      if (listed && text.starts_with(key + " "))
        history.push_back(std::to_string(n) + " " + text.substr(key.size() + 1));
    }
    std::fclose(in);
  }
  return history;
}

// A dispute: journey KEY's taps with their files and lines, its batch, the
// rides it settles into, and with DIR which revision appended them.
int journeyRun(const Options& o) {
  const std::string key = o.journey;
  if (key.empty() || key.size() > 7 || key.find_first_of(" \t\r\n") != std::string::npos)
    usageError(ME, "--journey: a journey key is 1 to 7 characters", o.journey, USAGE);
  int batchTaps = o.batchTaps;
  if (o.paths.size() == 3) {
    Journal journal;  // read only: nothing is recorded, and a run in progress is no matter
    long holder = 0;
    struct stat st;
    if (stat((std::string(o.paths[2]) + "/journal").c_str(), &st) != 0)
      refuse(std::string(o.paths[2]) + ": no day was settled here");
    DayIdentity was;
    std::vector<GroupRecord> groups;
    std::vector<Revision> revisions;
    int error = 0, damaged = 0;
    if (journal.open(o.paths[2], &holder) == 0 &&
        journal.read(&was, &groups, &revisions, &error, &damaged) && was.batchTaps > 0)
      batchTaps = was.batchTaps;
  }
  Day day;
  readDayFiles(o, &day);
  readDay(&day);
  packDay(&day, batchTaps);
  const uint64_t wanted = keyOf(key.c_str());
  uint32_t j = 0;
  while (j < day.journeys.size() && day.journeys[j].key != wanted) j++;
  std::printf("journey %s in %s and %s\n", key.c_str(), day.sources[0].name, day.sources[1].name);
  if (j == day.journeys.size()) {
    std::printf("taps: none\n");
  } else {
    std::printf("taps, as a run reads them:\n");
    TermInfo infos[TAP_CAPACITY];
    tapCount = 0;
    for (const DayLine& l : day.lines) {
      if (l.journey != j) continue;
      std::printf("  %s:%llu: %.*s\n", day.sources[l.source].name,
                  static_cast<unsigned long long>(l.number), static_cast<int>(l.length),
                  day.sources[l.source].bytes.data() + l.offset);
      TapNotes notes;
      if (tapCount < TAP_CAPACITY)
        (void)readTapLine(day.sources[l.source].bytes.data() + l.offset, l.length,
                          &infos[tapCount++], &notes);
    }
    const DayJourney& dj = day.journeys[j];
    if (dj.batch < 0) {
      std::printf("batch: none: %d taps, longer than a run (%d); not settled\n", dj.taps,
                  TAP_CAPACITY);
    } else {
      std::printf("batch: %d of %d (batches of %d taps)\n", dj.batch + 1, day.batches, batchTaps);
      RideInfo t[RIDE_CAPACITY];
      buildRidesFrom(infos, t);
      apportionFees(t);
      std::printf("rides as settled:\n");
      char line[LEDGER_LINE + 1];
      for (int r = 0; r < rideCount; r++) {
        int length = formatLedgerLine(t[r], t[r].tr == MODE_BUS ? "BUS" : "METRO", line);
        std::printf("  %.*s\n", length - LINE_END_LENGTH, line);
      }
    }
  }
  if (o.paths.size() == 3) {
    std::vector<std::string> history = historyOf(o.paths[2], key);
    std::printf("in %s:\n", o.paths[2]);
    std::printf("  the day (revision 0) settled it%s\n",
                !history.empty() && history[0].ends_with(" new") ? " not: an amendment added it"
                                                                 : " first");
    for (const std::string& h : history) {
      std::string n = h.substr(0, h.find(' ')), how = h.substr(h.find(' ') + 1);
      std::printf("  amendment %s: %s\n", n.c_str(),
                  how == "new"        ? "appended its rides"
                  : how == "removed"  ? "reversed its rides; none appended"
                  : how == "too long" ? "reversed its rides; too long for a run, none appended"
                  : how == "settled"  ? "appended its rides (too long before)"
                                      : "reversed its rides and appended them anew");
    }
    bool rides = j < day.journeys.size() && day.journeys[j].batch >= 0;
    if (rides)
      std::printf(
          "  the rides above were appended by %s\n",
          history.empty()
              ? "the day (revision 0)"
              : ("amendment " + history.back().substr(0, history.back().find(' '))).c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (o.journey != nullptr) {
    setTracing(false);
    return journeyRun(o);
  }
  if (o.trace == 0) {
    guardProcess();
    setTracing(false);
    return o.amend ? amendRun(o) : settleDay(o);
  }
  Day day;
  DayBatches batches;
  readDayFiles(o, &day);
  readDay(&day);
  packDay(&day, o.batchTaps);
  linesByBatch(day, &batches.order, &batches.start, &batches.tooLong);
  return traceBatch(day, batches, o.trace);
}
