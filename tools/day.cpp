// fare-settle-day [--batch-taps N] [--ledgers LEDGERDIR] METRO BUS DIR:
// settles a whole day in one process, batch by batch exactly as
// fare-settle-split and fare-settle run them, appending to DIR's ledgers
// (or LEDGERDIR's) in large groups of batches, each flushed once, with a
// journal in DIR that lets a rerun after any crash finish the day exactly.
// fare-settle-day --trace BATCH [--batch-taps N] METRO BUS writes one
// batch's trace and notes, byte for byte as fare-settle writes them there.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "day_input.h"
#include "day_ledgers.h"
#include "day_settle.h"
#include "durable.h"
#include "journal.h"
#include "journey.h"
#include "platform.h"
#include "settlement.h"

namespace {

constexpr char ME[] = "fare-settle-day";
constexpr int GROUP_BATCHES = 10000;  // about a million taps a group

struct Options {
  int batchTaps = TAP_CAPACITY;
  long trace = 0;  // a batch to trace, from 1; 0 to settle the day
  const char* ledgers = nullptr;
  std::vector<const char*> paths;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: %s [--batch-taps N] [--ledgers LEDGERDIR] METRO BUS DIR\n"
               "       %s --trace BATCH [--batch-taps N] METRO BUS\n",
               ME, ME);
  std::exit(2);
}

[[noreturn]] void refuse(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", ME, what.c_str());
  std::exit(2);
}

// Accepts decimal digits only, from 1 to `max`.
long count(const char* text, long max) {
  if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) usage();
  long v = 0;
  for (const char* p = text; *p != '\0'; p++) {
    v = v * 10 + (*p - '0');
    if (v > max) usage();
  }
  if (v < 1) usage();
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    bool valued = std::strcmp(arg, "--batch-taps") == 0 || std::strcmp(arg, "--ledgers") == 0 ||
                  std::strcmp(arg, "--trace") == 0;
    if (valued && i + 1 >= argc) usage();
    if (std::strcmp(arg, "--batch-taps") == 0)
      o.batchTaps = static_cast<int>(count(argv[++i], TAP_CAPACITY));
    else if (std::strcmp(arg, "--trace") == 0)
      o.trace = count(argv[++i], INT_MAX);
    else if (std::strcmp(arg, "--ledgers") == 0)
      o.ledgers = argv[++i];
    else if (std::strcmp(arg, "--") == 0)
      for (i++; i < argc; i++) o.paths.push_back(argv[i]);
    else if (arg[0] == '-' && arg[1] != '\0')
      usage();
    else
      o.paths.push_back(arg);
  }
  if (o.paths.size() != (o.trace > 0 ? 2u : 3u) || (o.trace > 0 && o.ledgers != nullptr)) usage();
  for (const char* p : o.paths)
    if (std::strchr(p, '\n') != nullptr) usage();
  return o;
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
  return resolved;
}

// The journal's day against this one: the same files, packing and ledgers.
void expectSameDay(const std::string& dir, const DayIdentity& was, const DayIdentity& is) {
  for (int s = 0; s < 2; s++) {
    if (was.sizes[s] != is.sizes[s] || was.sums[s] != is.sums[s])
      refuse(dir + ": its journal is of other day files (" + was.names[s] + ", " +
             std::to_string(was.sizes[s]) + " bytes); give those, or another DIR");
  }
  if (was.batchTaps != is.batchTaps)
    refuse(dir + ": its journal is of batches of " + std::to_string(was.batchTaps) + " taps");
  for (int l = 0; l < 2; l++)
    if (was.ledgers[l] != is.ledgers[l])
      refuse(dir + ": its journal is of the ledger " + was.ledgers[l]);
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

std::string statement(const std::string& dir, const Day& day, const DayBatches& batches,
                      long long named, const DayTotals& totals, long long appendedNow) {
  TooLong t = tooLongOf(day, batches);
  long long rides = totals.rides[0] + totals.rides[1];
  long long out = totals.money[0] + totals.money[1];
  std::string s = "statement of the day in " + dir + "\n";
  for (int f = 0; f < 2; f++)
    s += std::string("taps read from ") + day.sources[f].name + ": " +
         std::to_string(day.tapsRead[f]) + "\n";
  s += "lines named: " + std::to_string(named) + "\n";
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
  s += "rides appended by this run: " + std::to_string(appendedNow) + " of " +
       std::to_string(rides) + (appendedNow == 0 && rides > 0 ? " (appended before)" : "") + "\n";
  return s;
}

int groupBatches() {
  const char* given = std::getenv("FARE_SETTLE_DAY_GROUP_BATCHES");  // for tests
  return given != nullptr && std::atoi(given) > 0 ? std::atoi(given) : GROUP_BATCHES;
}

int settleDay(const Options& o, Day& day, const DayBatches& batches) {
  guardProcess();
  const std::string dir = o.paths[2];
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) refuse(dir + ": " + std::strerror(errno));
  Journal journal;
  long holder = 0;
  if (int error = journal.open(dir, &holder)) {
    if (error == EAGAIN) refuse(dir + ": in use by process " + std::to_string(holder));
    refuse(dir + "/journal: " + std::strerror(error));
  }
  DayIdentity is;
  std::string ledgerDir = absolute(o.ledgers != nullptr ? o.ledgers : dir);
  for (int s = 0; s < 2; s++) {
    is.names[s] = day.sources[s].name;
    is.sizes[s] = static_cast<long long>(day.sources[s].bytes.size());
    is.sums[s] = checksumOf(day.sources[s].bytes.data(), day.sources[s].bytes.size());
  }
  is.batchTaps = o.batchTaps;
  is.groupBatches = groupBatches();
  is.ledgers[0] = ledgerDir + "/busCompany.txt";
  is.ledgers[1] = ledgerDir + "/metroCompany.txt";
  DayIdentity was;
  std::vector<GroupRecord> groups;
  int error = 0;
  if (journal.read(&was, &groups, &error)) {
    expectSameDay(dir, was, is);
    is.groupBatches = was.groupBatches > 0 ? was.groupBatches : is.groupBatches;
  } else if (error != 0) {
    refuse(dir + "/journal: " + (error == EILSEQ ? "damaged" : std::strerror(error)));
  } else {
    error = journal.writeIdentity(is);
    if (error == 0) error = flushDirectoryAt(dir);
    if (error != 0) refuse(dir + "/journal: " + std::strerror(error));
  }

  long long named = noteDay(day, true);
  const std::string given = o.ledgers != nullptr ? o.ledgers : dir;
  const std::string shown[2] = {given + "/busCompany.txt", given + "/metroCompany.txt"};
  DayLedgers ledgers(is.ledgers, shown, &journal, currentBoot());
  DayTotals totals;
  const bool progress = isatty(2) != 0;
  bool going = true;
  for (int first = 0, g = 0; first < day.batches; first += is.groupBatches, g++) {
    int last = std::min(first + is.groupBatches, day.batches) - 1;
    SettledLines lines;
    settleBatches(day, batches, first, last, &lines, &totals);
    if (!going) continue;  // the statement still counts the whole day
    const GroupRecord* record =
        static_cast<size_t>(g) < groups.size() ? &groups[static_cast<size_t>(g)] : nullptr;
    bool begun = record != nullptr && record->begun;
    if (stopRequest() != nullptr) {
      going = false;
      continue;
    }
    const long long none[2] = {0, 0};
    if (begun && record->done) continue;
    going = begun ? ledgers.recover(g, *record, lines) : ledgers.append(g, lines, none);
    if (progress) std::fprintf(stderr, "\r%s: batch %d of %d ", ME, last + 1, day.batches);
  }
  if (progress) std::fputc('\n', stderr);
  (void)journal.flush();
  ledgers.flushCreated();
  if (stopRequest() != nullptr)
    reportLine("%s: %s: %s before the day was settled; run the same command again to finish it\n",
               ME, dir.c_str(), describe(STOPPED));
  else if (ledgers.pending > 0 || !going)
    reportLine("%s: %s: the day is not finished; run the same command again to finish it\n", ME,
               dir.c_str());
  std::string text = statement(dir, day, batches, named, totals, ledgers.appended);
  (void)std::fputs(text.c_str(), stdout);
  if (int e = writeDurably(dir + "/statement.txt", text))
    reportLine("%s: %s/statement.txt: %s\n", ME, dir.c_str(), std::strerror(e));
  if (std::fflush(stdout) != 0) reportLine("%s: standard output: %s\n", ME, std::strerror(errno));
  endIfStopped();
  bool clean = named == 0 && ledgers.named == 0 && ledgers.pending == 0 && going;
  return clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  Day day;
  for (int s = 0; s < 2; s++) {
    day.sources[s].name = o.paths[static_cast<size_t>(s)];
    if (int error = readWholeFile(day.sources[s].name, &day.sources[s].bytes))
      refuse(std::string(day.sources[s].name) + ": " + std::strerror(error));
  }
  readDay(&day);
  packDay(&day, o.batchTaps);
  DayBatches batches;
  linesByBatch(day, &batches.order, &batches.start, &batches.tooLong);
  if (o.trace > 0) return traceBatch(day, batches, o.trace);
  setTracing(false);
  return settleDay(o, day, batches);
}
