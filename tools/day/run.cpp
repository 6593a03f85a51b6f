// The pieces every run of fare-settle-day shares.
#include "run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "durable.h"
#include "parallel.h"
#include "platform.h"
#include "record.h"

[[noreturn]] void refuse(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", ME, what.c_str());
  std::exit(2);
}

// A path the journal records is one line of it.
void expectOneLine(const std::string& path) {
  if (path.find('\n') == std::string::npos) return;
  std::string shown = path;
  for (size_t at; (at = shown.find('\n')) != std::string::npos;) shown.replace(at, 1, "\\n");
  refuse(shown + ": a path with a line end cannot be recorded; give another");
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

// Reads both day files whole, each unchanged while it is read, and each
// one's checksum, both at once on more than one thread.
void readDayFiles(const Options& o, Day* day) {
  expectDayFiles(o);
  FileId ids[2];
  int errors[2] = {0, 0};
  onThreads(o.threads, 2, [&](size_t s) {
    DaySource& source = day->sources[s];
    source.name = o.paths[s];
    errors[s] = readWholeFile(source.name, &source.bytes, &ids[s]);
    if (errors[s] == 0) source.sum = checksumOf(source.bytes.data(), source.bytes.size());
  });
  for (int s = 0; s < 2; s++)
    if (errors[s] != 0) refuse(std::string(day->sources[s].name) + ": " + describeRead(errors[s]));
  if (ids[0] == ids[1])  // swapped in between
    refuse(std::string(o.paths[0]) + " and " + o.paths[1] + " are the same file");
}

std::string absolute(const std::string& dir) {
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) refuse(dir + ": " + std::strerror(errno));
  expectOneLine(resolved);
  return resolved;
}

// DIR/state-N: what revision N settled, for the amendment after it.
std::string statePath(const std::string& dir, int revision) {
  return dir + "/state-" + std::to_string(revision);
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
