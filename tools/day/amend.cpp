// A settled day amended with its files as they stand now, exactly once
// under the day's journal: the amendment computed, its state kept, its
// group appended, its reports written.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "amendment.h"
#include "appender.h"
#include "durable.h"
#include "notes.h"
#include "platform.h"
#include "record.h"
#include "run.h"
#include "state.h"
#include "statement.h"

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
    is.sums[s] = day.sources[s].sum;
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
  int error = amendDay(day.sources, was, n, statePath(dir, n), o.threads, &a);
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
  std::string text = amendedStatement(dirShown, day, is.sums, a, view.revisions, appended, notes);
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
