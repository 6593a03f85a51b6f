// A day settled: the journal agreed on, the day read and packed, its groups
// of batches appended one after another, what an amendment needs kept, the
// statement and the notes written.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "appender.h"
#include "durable.h"
#include "groups.h"
#include "notes.h"
#include "parallel.h"
#include "platform.h"
#include "record.h"
#include "run.h"
#include "settling.h"
#include "state.h"
#include "statement.h"

namespace {

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

int groupBatches() {
  const char* given = std::getenv("FARE_SETTLE_DAY_GROUP_BATCHES");  // for tests
  return given != nullptr && std::atoi(given) > 0 ? std::atoi(given) : GROUP_BATCHES;
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

}  // namespace

int settleDay(const Options& o) {
  const std::string dir = o.paths[2];
  expectDayFiles(o);
  Journal journal;
  holdDir(dir, &journal);
  const std::string dirShown = absolute(dir);
  Day day;
  readDayFiles(o, &day);
  readDay(&day, o.threads);
  packDay(&day, o.batchTaps);
  DayBatches packed;
  linesByBatch(day, &packed.order, &packed.start, &packed.tooLong, o.threads);
  DayIdentity is;
  std::string ledgerDir = absolute(o.ledgers != nullptr ? o.ledgers : dir);
  for (int s = 0; s < 2; s++) {
    is.names[s] = day.sources[s].name;
    is.sizes[s] = static_cast<long long>(day.sources[s].bytes.size());
    is.sums[s] = day.sources[s].sum;
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
  // Its lines and keys on a thread of their own while the batches are settled.
  std::vector<std::thread> front;
  if (keep && stateError == 0 && o.threads > 1) startThreads(&front, 1, [&] { state.front(day); });
  if (keep && stateError == 0 && front.empty()) state.front(day);

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
  SettledGroups settled(day, packed, is.groupBatches, keep, o.threads);
  for (int g = 0; g < settled.count(); g++) {
    const SettledLines& lines = settled.take(g);
    totals.add(lines.totals);
    if (keep) state.journeys(lines.journeys);
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
      settled.stop();
      for (std::thread& f : front) f.join();
      refuse(dir + ": the day was not changed");
    }
    if (progress)
      std::fprintf(stderr, "\r%s: batch %d of %d ", ME,
                   std::min((g + 1) * is.groupBatches, day.batches), day.batches);
  }
  settled.stop();
  if (progress) std::fputc('\n', stderr);
  for (std::thread& f : front) f.join();
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
