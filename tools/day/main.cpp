// fare-settle-day [--batch-taps N] [--ledgers LEDGERDIR] [--again] METRO BUS DIR:
// settles a whole day in one process, batch by batch exactly as
// fare-settle-split and fare-settle run them, appending to DIR's ledgers
// (or LEDGERDIR's) in large groups of batches, each flushed once, with a
// journal in DIR that lets a rerun after any stop finish the day exactly.
// fare-settle-day --trace BATCH [--batch-taps N] METRO BUS writes one
// batch's trace and notes, byte for byte as fare-settle writes them there.
// Exit status: 0 settled; 1 settled, lines or rides named; 2 refused,
// nothing done; 3 not finished, nothing lost: the same command again.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "day_input.h"
#include "journey.h"
#include "parallel.h"
#include "platform.h"
#include "run.h"
#include "settlement.h"
#include "settling.h"

namespace {

constexpr long MAX_THREADS = 256;

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

Options parse(int argc, char** argv) {
  answerHelpAndVersion(argc, argv, ME, USAGE);
  Options o;
  o.threads = coresAllowed();
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    bool valued = std::strcmp(arg, "--batch-taps") == 0 || std::strcmp(arg, "--ledgers") == 0 ||
                  std::strcmp(arg, "--trace") == 0 || std::strcmp(arg, "--journey") == 0 ||
                  std::strcmp(arg, "--threads") == 0;
    if (valued && i + 1 >= argc) usageError(ME, "option needs a value", arg, USAGE);
    if (std::strcmp(arg, "--batch-taps") == 0)
      o.batchTaps = static_cast<int>(count(arg, argv[++i], TAP_CAPACITY));
    else if (std::strcmp(arg, "--threads") == 0)
      o.threads = static_cast<int>(count(arg, argv[++i], MAX_THREADS));
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
  readDay(&day, o.threads);
  packDay(&day, o.batchTaps);
  linesByBatch(day, &batches.order, &batches.start, &batches.tooLong, o.threads);
  return traceBatch(day, batches, o.trace);
}
