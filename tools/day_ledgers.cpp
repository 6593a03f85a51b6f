// Appending a group of batches, and finishing one a crash interrupted.
//
// The order of writes and flushes for a group, its ledgers locked:
//   1. each ledger's size (the group's start there) and whether its last
//      line is torn;
//   2. journal: "begin G" with the starts, flushed to stable storage;
//   3. for each ledger: journal "writing G L"; the group's lines in one
//      write (a line end first where the last line was torn), a failed
//      write cut back to the start; journal "wrote G L";
//   4. each ledger flushed to stable storage;
//   5. journal: "done G"; the locks go with the close.
// Why a rerun after a crash at any instant is exact: nothing reaches a
// ledger before its start is on stable storage (2), and the settlement is
// deterministic, so the rerun knows every byte the group meant to write
// from each start on. The group held the ledgers' locks, so another run's
// lines come after the group's bytes, and every appender closes a torn
// line with a line end of its own before its first line. A rerun takes the
// lock and, on the same boot (the host's cache still holds every write
// that returned), trusts the journal: without "writing G L" nothing of the
// group is in L, so all is appended even where another run has since
// appended the same lines; with "wrote G L" all of it is. Otherwise (a
// crash inside the write, or a power cut) it keeps the group's lines that
// stand whole and in order from the start and appends the rest; a torn
// line is part of no ride and stays as such. Only there can a match be
// another run's copy of lines the group had yet to write: where the group's
// lines stop short of its end, the kept ones are named as in doubt (kept,
// never appended twice), for the operator to look at.
#include "day_ledgers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "ledgers.h"
#include "platform.h"

namespace {

// Where line i of a ledger's group lines begins.
size_t lineStart(const SettledLines& lines, int l, long long i) {
  return i == 0 ? 0 : lines.ends[l][static_cast<size_t>(i) - 1];
}

long long lineCount(const SettledLines& lines, int l) {
  return static_cast<long long>(lines.ends[l].size());
}

// What the group still writes to a ledger from line `skip` on.
std::string expected(const SettledLines& lines, int l, long long skip, bool lead) {
  std::string e = lead ? LINE_END : "";
  size_t from = lineStart(lines, l, skip);
  return e.append(lines.bytes[l].data() + from, lines.bytes[l].size() - from);
}

int readAt(const LedgerFile& file, long long offset, size_t length, std::string* bytes) {
  bytes->assign(length, '\0');
  size_t done = 0;
  while (done < length) {
    size_t n = 0;
    if (int error = readBlock(file, offset + static_cast<long long>(done), bytes->data() + done,
                              length - done, &n))
      return error;
    if (n == 0) break;
    done += n;
  }
  bytes->resize(done);
  return 0;
}

}  // namespace

void crashPoint() {
  static long left = [] {
    const char* at = std::getenv("FARE_SETTLE_DAY_CRASH_AT");
    return at != nullptr ? std::atol(at) : 0L;
  }();
  if (left == 0) return;
  left--;
  if (left == 0) (void)std::raise(SIGKILL);
}

DayLedgers::DayLedgers(const std::string* paths, const std::string* shown, Journal* journal,
                       std::string boot)
    : paths_{paths[0], paths[1]},
      shown_{shown[0], shown[1]},
      journal_(journal),
      boot_(std::move(boot)) {}

void DayLedgers::nameRides(int l, const SettledLines& lines, long long from, const char* what,
                           const char* why, long long to) {
  for (long long i = from; i < (to < 0 ? lineCount(lines, l) : to); i++) {
    size_t begin = lineStart(lines, l, i);
    int length = static_cast<int>(lines.ends[l][static_cast<size_t>(i)] - begin) - LINE_END_LENGTH;
    reportLine("%s: %.*s: %s: %s (batch %d)\n", shown_[l].c_str(), length,
               lines.bytes[l].data() + begin, what, why, lines.batchOf[l][static_cast<size_t>(i)]);
    named++;
  }
}

bool DayLedgers::append(int g, const SettledLines& lines, const long long* skip) {
  LedgerFile files[2];
  bool open[2] = {false, false}, wrote[2] = {false, false};
  bool unopened = false;  // a ledger the group has lines for could not be opened: not done
  GroupRecord record;
  record.boot = boot_;
  for (int l = 0; l < 2; l++) {
    record.ledgers[l].skip = skip[l];
    if (lineCount(lines, l) <= skip[l]) continue;
    int error = openLedger(paths_[l].c_str(), &files[l], &created_[l]);
    if (error == 0 && files[l].regular) {
      error = lockLedger(files[l]);
      FileState st = {0, 0, 0};
      if (error == 0) error = stateOf(files[l], &st);
      bool ends = true;
      if (error == 0 && st.size > 0) error = endsWithLineEnd(files[l], st.size, &ends);
      if (error != 0) (void)closeLedger(files[l]);
      record.ledgers[l] = {st.size, !ends, skip[l], st.device, st.file};
    }
    if (error != 0) {
      nameRides(l, lines, skip[l], "not appended", describe(error));
      pending += lineCount(lines, l) - skip[l];
      unopened = true;
      continue;
    }
    open[l] = true;
  }
  auto journalFailed = [&](int error) {
    for (int l = 0; l < 2; l++) {
      if (!open[l]) continue;
      if (!wrote[l]) {
        std::string why = std::string("the journal could not be written: ") + describe(error);
        nameRides(l, lines, skip[l], "not appended", why.c_str());
      }
      (void)closeLedger(files[l]);
    }
    reportLine("fare-settle-day: journal: %s; stopped\n", describe(error));
    return false;
  };
  if (int error = journal_->begin(g, record)) return journalFailed(error);
  crashPoint();
  bool whole = !unopened;
  for (int l = 0; l < 2; l++) {
    if (!open[l]) continue;
    if (int error = journal_->mark(g, "writing", l)) return journalFailed(error);
    crashPoint();
    const LedgerStart& at = record.ledgers[l];
    // One write, the group's bytes as they stand unless a line end goes first.
    std::string withLead;
    const char* bytes = lines.bytes[l].data() + lineStart(lines, l, skip[l]);
    size_t size = lines.bytes[l].size() - lineStart(lines, l, skip[l]);
    if (at.lead) {
      reportLine("%s: last line is unfinished; new lines start on a line of their own\n",
                 shown_[l].c_str());
      withLead = expected(lines, l, skip[l], true);
      bytes = withLead.data();
      size = withLead.size();
    }
    size_t written = 0;
    if (int error = writeLedger(files[l], bytes, size, &written)) {
      if (written > 0 && files[l].regular) {
        if (int cut = cutBack(files[l], at.start))
          reportLine("%s: part of a line stays at its end: %s\n", shown_[l].c_str(), describe(cut));
      }
      nameRides(l, lines, skip[l], "not appended", describe(error));
      pending += lineCount(lines, l) - skip[l];
      whole = false;
    } else {
      wrote[l] = true;
      crashPoint();
      if (int error = journal_->mark(g, "wrote", l)) return journalFailed(error);
    }
    crashPoint();
  }
  for (int l = 0; l < 2; l++) {
    if (!wrote[l]) continue;
    if (int error = flushLedger(files[l])) {
      nameRides(l, lines, skip[l], "appended, but not flushed to disk", describe(error));
      whole = false;
    }
  }
  crashPoint();
  if (whole) {
    if (int error = journal_->mark(g, "done")) return journalFailed(error);
  }
  crashPoint();
  for (int l = 0; l < 2; l++) {
    if (!open[l]) continue;
    int error = closeLedger(files[l]);
    if (!wrote[l]) continue;
    appended += lineCount(lines, l) - skip[l];
    if (error != 0)
      nameRides(l, lines, skip[l], "appended, but closing the ledger failed", describe(error));
  }
  return true;
}

bool DayLedgers::recover(int g, const GroupRecord& record, const SettledLines& lines) {
  const bool sameBoot = !boot_.empty() && record.boot == boot_;
  long long skip[2];
  for (int l = 0; l < 2; l++) {
    const LedgerStart& at = record.ledgers[l];
    skip[l] = at.skip;
    if (at.start < 0) continue;
    LedgerFile file;
    bool created = false;
    int error = openLedger(paths_[l].c_str(), &file, &created);
    if (error != 0) {
      nameRides(l, lines, at.skip, "not appended", describe(error));
      return false;
    }
    FileState st = {0, 0, -1};
    error = lockLedger(file);
    if (error == 0) error = stateOf(file, &st);
    if (error == 0 && (st.device != at.device || st.file != at.file || st.size < at.start)) {
      (void)closeLedger(file);
      nameRides(l, lines, at.skip, "not appended",
                "the ledger is not the one the journal recorded; the group's lines cannot be "
                "proven");
      skip[l] = lineCount(lines, l);
      continue;
    }
    if (error != 0) {
      (void)closeLedger(file);
      nameRides(l, lines, at.skip, "not appended", describe(error));
      return false;
    }
    std::string want = expected(lines, l, at.skip, at.lead);
    long long kept = 0;
    if (!sameBoot || record.writing[l]) {
      std::string found;
      size_t length = static_cast<size_t>(
          std::min<long long>(st.size - at.start, static_cast<long long>(want.size())));
      if (int e = readAt(file, at.start, length, &found)) {
        (void)closeLedger(file);
        nameRides(l, lines, at.skip, "not appended", describe(e));
        return false;
      }
      size_t m = 0;
      while (m < found.size() && found[m] == want[m]) m++;
      // The group's lines whole within the match, and where the last ends.
      size_t base = lineStart(lines, l, at.skip), lead = at.lead ? LINE_END_LENGTH : 0;
      size_t wholeEnd = m < lead ? 0 : lead;
      while (at.skip + kept < lineCount(lines, l) &&
             lead + lines.ends[l][static_cast<size_t>(at.skip + kept)] - base <= m) {
        wholeEnd = lead + lines.ends[l][static_cast<size_t>(at.skip + kept)] - base;
        kept++;
      }
      if (sameBoot && record.wrote[l] && m != want.size()) {
        (void)closeLedger(file);
        nameRides(l, lines, at.skip, "not appended",
                  "the ledger no longer holds the group's lines where they began");
        skip[l] = lineCount(lines, l);
        continue;
      }
      if (m > wholeEnd) {
        reportLine("%s: a crash left part of a line at byte %lld; it is no ride\n",
                   shown_[l].c_str(), at.start + static_cast<long long>(wholeEnd));
      } else if (kept > 0 && m < want.size()) {
        nameRides(l, lines, at.skip, "in doubt",
                  "kept as appended, but it may be another run's line", at.skip + kept);
      }
    }
    (void)closeLedger(file);
    skip[l] = at.skip + kept;
  }
  // What the group kept may be only in the host's cache: flushed before "done".
  for (int l = 0; l < 2; l++) {
    if (record.ledgers[l].start < 0) continue;
    if (int error = flushFile(paths_[l].c_str())) {
      nameRides(l, lines, record.ledgers[l].skip, "appended, but not flushed to disk",
                describe(error));
      return true;
    }
  }
  if (skip[0] < lineCount(lines, 0) || skip[1] < lineCount(lines, 1)) return append(g, lines, skip);
  return journal_->mark(g, "done") == 0;
}

void DayLedgers::flushCreated() {
  for (int l = 0; l < 2; l++) {
    if (!created_[l]) continue;
    DirectoryName dir;
    int error = directoryOf(paths_[l].c_str(), &dir);
    if (error == 0) error = flushDirectory(dir);
    if (error != 0)
      reportLine("%s: directory not flushed to disk: %s\n", shown_[l].c_str(), describe(error));
  }
}
