// Appending a group of batches, and finishing one a crash interrupted.
//
// The order of writes and flushes for a group, one ledger after the other
// (bus, then metro), each locked until the group ends:
//   1. the ledger's size, and whether its last line is torn;
//   2. journal: "range G L" with the size as the start, the first line to
//      write, whether a line end goes first, the bytes' length and
//      checksum; flushed to stable storage;
//   3. the bytes in one write; a failed write cut back to the start, the
//      group stopped there;
// then each ledger flushed, each ledger's directory flushed (once a run),
// and journal: "done G", flushed. A group begins only once the one before
// it is done; a group that fails ends the day.
// Why a rerun after a crash at any instant is exact: the settlement is
// deterministic, so the rerun knows every byte the group meant to write
// (the recorded length and checksum prove it), and nothing reaches a ledger
// before its range is on stable storage. A ledger without a range got
// nothing of the group. With one, the rerun reads the ledger from the start:
//   - the group's bytes, then nothing: a prefix; the rest is written (a torn
//     line is finished, never left);
//   - zeros where the group's bytes belong: a hole a power cut left; the
//     group's bytes are written over it, and it is named;
//   - other bytes: another writer appended after the crash (the group held
//     the lock while it wrote); the group's whole lines before them stay,
//     a torn piece is named as no ride, and the rest of the group goes at
//     the end under a new range;
//   - a ledger shorter than the start: it is not the ledger the group began
//     in (an older copy); the rides are named and the day held.
// The ledger is known by its path and its bytes, never by device or inode,
// so a reboot, a remount or a copy put back changes nothing.
#include "appender.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

// What the group writes to a ledger from line `skip` on.
std::string expected(const SettledLines& lines, int l, long long skip, bool lead) {
  std::string e = lead ? LINE_END : "";
  size_t from = lineStart(lines, l, skip);
  return e.append(lines.bytes[l].data() + from, lines.bytes[l].size() - from);
}

// The group's lines from `skip` on that stand whole in the first `m` bytes
// of what it writes; *end says where the last of them ends.
long long wholeLines(const SettledLines& lines, int l, const LedgerRange& r, size_t m,
                     size_t* end) {
  size_t base = lineStart(lines, l, r.skip), lead = r.lead ? LINE_END_LENGTH : 0;
  *end = m < lead ? 0 : lead;
  long long kept = 0;
  while (r.skip + kept < lineCount(lines, l)) {
    size_t e = lead + lines.ends[l][static_cast<size_t>(r.skip + kept)] - base;
    if (e > m) break;
    *end = e;
    kept++;
  }
  return kept;
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

// Writes over bytes inside the ledger. Its descriptor appends, and pwrite on
// such a descriptor appends too, so appending is off meanwhile; a second
// descriptor would not do, as closing it would drop the ledger's lock.
int writeAt(const LedgerFile& file, long long offset, const char* bytes, size_t length) {
  const int fd = static_cast<int>(file.handle);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_APPEND) != 0) return errno;
  int error = 0;
  for (size_t done = 0; done < length && error == 0;) {
    ssize_t n = pwrite(fd, bytes + done, length - done, offset + static_cast<long long>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      error = n == 0 ? EIO : errno;
    else
      done += static_cast<size_t>(n);
  }
  if (fcntl(fd, F_SETFL, flags) != 0 && error == 0) error = errno;
  return error;
}

std::string text(const char* format, long long a, long long b = 0) {
  char line[160];
  (void)std::snprintf(line, sizeof line, format, a, b);
  return line;
}

}  // namespace

struct DayLedgers::Ledger {
  int l = 0;
  LedgerFile file = {-1, false};
  bool open = false;
  bool created = false;
  bool wrote = false;  // holds bytes of the group to flush
  LedgerRange range;   // the last the group recorded here
};

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
                       DayNotes* notes)
    : paths_{paths[0], paths[1]},
      shown_{shown[0], shown[1]},
      journal_(journal),
      notes_(notes),
      boot_(currentBoot()) {}

void DayLedgers::nameRides(int l, const SettledLines& lines, long long from, const char* what,
                           const std::string& why, long long to) {
  const std::string summary = std::string("rides ") + what + ": " + why;
  for (long long i = from; i < (to < 0 ? lineCount(lines, l) : to); i++) {
    size_t begin = lineStart(lines, l, i);
    size_t end = lines.ends[l][static_cast<size_t>(i)] - LINE_END_LENGTH;
    notes_->add(summary, shown_[l] + ": " +
                             std::string(lines.bytes[l].data() + begin, end - begin) + ": " + what +
                             ": " + why + " (batch " +
                             std::to_string(lines.batchOf[l][static_cast<size_t>(i)]) + ")\n");
  }
}

GroupEnd DayLedgers::settle(int g, const GroupRecord& record, const SettledLines& lines) {
  for (int l = 0; l < 2; l++) {
    const LedgerRange& r = record.ranges[l];
    if (!r.recorded) continue;
    std::string want = r.skip <= lineCount(lines, l) ? expected(lines, l, r.skip, r.lead) : "";
    if (r.skip > lineCount(lines, l) || static_cast<long long>(want.size()) != r.length ||
        checksumOf(want.data(), want.size()) != r.sum) {
      notes_->add("journal", text("journal: group %lld: ", g) + shown_[l] +
                                 ": the bytes it recorded are not those this day settles; "
                                 "settled by another version?\n");
      return GroupEnd::REFUSED;
    }
  }
  Ledger ledgers[2];
  GroupEnd end = GroupEnd::DONE;
  for (int l = 0; l < 2 && end == GroupEnd::DONE; l++) {
    Ledger& ledger = ledgers[l];
    ledger.l = l;
    const LedgerRange& r = record.ranges[l];
    long long from = r.recorded ? r.skip : 0;
    if (lineCount(lines, l) == from && !r.recorded) continue;
    int error = openLedger(paths_[l].c_str(), &ledger.file, &ledger.created);
    if (error == 0) ledger.open = true;
    if (error == 0 && ledger.file.regular) error = lockLedger(ledger.file);
    if (error != 0) {
      nameRides(l, lines, from, "not appended", describe(error));
      end = GroupEnd::UNFINISHED;
    } else {
      end = r.recorded ? recover(g, ledger, r, lines) : write(g, ledger, lines, 0);
    }
  }
  if (end == GroupEnd::DONE) end = finish(g, ledgers, lines);
  for (const Ledger& ledger : ledgers)
    if (ledger.open) (void)closeLedger(ledger.file);  // the lock goes with it
  return end;
}

GroupEnd DayLedgers::recover(int g, Ledger& ledger, const LedgerRange& r,
                             const SettledLines& lines) {
  const int l = ledger.l;
  ledger.range = r;
  const long long count = lineCount(lines, l);
  if (!ledger.file.regular) {
    nameRides(l, lines, r.skip, "in doubt",
              "not appended again: a crash's write to what is not a regular file cannot be read "
              "back");
    before += count - r.skip;
    return GroupEnd::DONE;
  }
  FileState st = {0, 0, 0};
  std::string want = expected(lines, l, r.skip, r.lead), found;
  int error = stateOf(ledger.file, &st);
  if (error == 0 && st.size < r.start) {
    nameRides(l, lines, r.skip, "not appended",
              text("the ledger ends at byte %lld, before byte %lld where the journal recorded the "
                   "group's lines; is it an older copy put back?",
                   st.size, r.start));
    return GroupEnd::HELD;
  }
  size_t n = static_cast<size_t>(std::min(st.size - r.start, r.length));
  if (error == 0) error = readAt(ledger.file, r.start, n, &found);
  if (error != 0) {
    nameRides(l, lines, r.skip, "not appended", describe(error));
    return GroupEnd::UNFINISHED;
  }
  n = found.size();
  size_t f = 0, hole = n, holeEnd = 0;  // the first foreign byte; the zeros before it
  for (; f < n && (found[f] == want[f] || found[f] == '\0'); f++) {
    if (found[f] == want[f]) continue;
    hole = std::min(hole, f);
    holeEnd = f + 1;
  }
  if (hole < holeEnd) {
    if (int e = writeAt(ledger.file, r.start + static_cast<long long>(hole), want.data() + hole,
                        holeEnd - hole)) {
      nameRides(l, lines, r.skip, "not appended", describe(e));
      return GroupEnd::UNFINISHED;
    }
    notes_->add(shown_[l] + ": holes", shown_[l] + text(": a crash left %lld bytes unwritten at "
                                                        "byte %lld; the group's lines are "
                                                        "written there\n",
                                                        static_cast<long long>(holeEnd - hole),
                                                        r.start + static_cast<long long>(hole)));
    ledger.wrote = true;
  }
  size_t wholeEnd = 0;
  long long kept = wholeLines(lines, l, r, f, &wholeEnd);
  before += kept;
  if (f == n && n == want.size()) {
    ledger.wrote = true;  // what an earlier run wrote may be only in the host's cache
    return GroupEnd::DONE;
  }
  // Whole lines that stop short: the group's write cut at a line end, or
  // another run's copy of its first lines appended before the group wrote.
  if (kept > 0 && f == wholeEnd)
    nameRides(l, lines, r.skip, "in doubt", "kept as appended, but it may be another run's line",
              r.skip + kept);
  if (f == n) {  // the group's bytes and nothing after: the rest follows them
    size_t written = 0;
    if (int e = writeLedger(ledger.file, want.data() + n, want.size() - n, &written)) {
      if (written > 0) (void)cutBack(ledger.file, st.size);
      nameRides(l, lines, r.skip + kept, "not appended", describe(e));
      return GroupEnd::UNFINISHED;
    }
    appended += count - r.skip - kept;
    ledger.wrote = true;
    crashPoint();
    return GroupEnd::DONE;
  }
  if (f > wholeEnd)
    notes_->add(shown_[l] + ": torn", shown_[l] + text(": a crash left part of a line at byte "
                                                       "%lld, another writer's lines after it; "
                                                       "it is no ride\n",
                                                       r.start + static_cast<long long>(wholeEnd)));
  ledger.wrote = ledger.wrote || kept > 0;
  return write(g, ledger, lines, r.skip + kept);
}

GroupEnd DayLedgers::write(int g, Ledger& ledger, const SettledLines& lines, long long from) {
  const int l = ledger.l;
  FileState st = {0, 0, 0};
  bool ends = true;
  int error = stateOf(ledger.file, &st);
  if (error == 0 && st.size > 0 && ledger.file.regular)
    error = endsWithLineEnd(ledger.file, st.size, &ends);
  if (error != 0) {
    nameRides(l, lines, from, "not appended", describe(error));
    return GroupEnd::UNFINISHED;
  }
  if (!ends)
    notes_->add(shown_[l] + ": unfinished",
                shown_[l] + ": last line is unfinished; new lines start on a line of their own\n");
  // The group's own bytes, copied only when a line end must go first.
  std::string withLead = ends ? "" : expected(lines, l, from, true);
  const size_t at = lineStart(lines, l, from);
  const std::string_view want =
      ends ? std::string_view(lines.bytes[l].data() + at, lines.bytes[l].size() - at)
           : std::string_view(withLead);
  LedgerRange r = {true,
                   st.size,
                   from,
                   !ends,
                   static_cast<long long>(want.size()),
                   checksumOf(want.data(), want.size())};
  ledger.range = r;
  if (int e = journal_->range(g, l, r, boot_)) {
    nameRides(l, lines, from, "not appended",
              std::string("the journal could not be written: ") + describe(e));
    return GroupEnd::UNFINISHED;
  }
  crashPoint();
  size_t written = 0;
  if (int e = writeLedger(ledger.file, want.data(), want.size(), &written)) {
    if (written > 0 && ledger.file.regular) {
      if (int cut = cutBack(ledger.file, st.size))
        notes_->add(shown_[l] + ": torn",
                    shown_[l] + ": part of a line stays at its end: " + describe(cut) + "\n");
    }
    nameRides(l, lines, from, "not appended", describe(e));
    return GroupEnd::UNFINISHED;
  }
  appended += lineCount(lines, l) - from;
  ledger.wrote = true;
  crashPoint();
  return GroupEnd::DONE;
}

GroupEnd DayLedgers::finish(int g, Ledger* ledgers, const SettledLines& lines) {
  for (int l = 0; l < 2; l++) {
    const Ledger& ledger = ledgers[l];
    if (!ledger.wrote || !ledger.file.regular) continue;
    if (int error = flushLedger(ledger.file)) {
      nameRides(l, lines, 0, "appended, but not flushed to disk", describe(error));
      return GroupEnd::UNFINISHED;
    }
  }
  crashPoint();
  // A ledger made by this run or an earlier one must outlive a power cut
  // before the journal says its group is done: its directory, once a run.
  for (int l = 0; l < 2; l++) {
    if (!ledgers[l].open || !ledgers[l].file.regular || dirFlushed_[l]) continue;
    DirectoryName dir;
    int error = directoryOf(paths_[l].c_str(), &dir);
    if (error == 0) error = flushDirectory(dir);
    if (error != 0) {
      notes_->add(shown_[l] + ": directory",
                  shown_[l] + ": directory not flushed to disk: " + describe(error) + "\n");
      return GroupEnd::UNFINISHED;
    }
    dirFlushed_[l] = true;
  }
  if (int error = journal_->done(g)) {
    notes_->add("journal", std::string("journal: ") + describe(error) + "\n");
    return GroupEnd::UNFINISHED;
  }
  for (int l = 0; l < 2; l++) {
    const LedgerRange& r = ledgers[l].range;
    if (!r.recorded) continue;
    char range[160];
    (void)std::snprintf(range, sizeof range, "%d %d %lld %lld %llx", g, l, r.start, r.length,
                        static_cast<unsigned long long>(r.sum));
    ranges.emplace_back(range);
  }
  crashPoint();
  return GroupEnd::DONE;
}
