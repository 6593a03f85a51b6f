// The company ledgers: each ride's line appended whole under a whole-file
// lock, or reported by its line on standard error; the ledgers flushed.
#include "ledgers.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform.h"

int formatLedgerLine(const RideInfo& ride, const char* word, char* line) {
  char* p = std::copy_n(ride.lt, std::strlen(ride.lt), line);
  *p++ = ',';
  p = std::copy_n(word, std::strlen(word), p);
  *p++ = ',';
  p = std::to_chars(p, line + LEDGER_LINE, ride.fee).ptr;
  p = std::copy_n(LINE_END, LINE_END_LENGTH, p);
  return static_cast<int>(p - line);
}

int endsWithLineEnd(const LedgerFile& file, long long size, bool* ends) {
  char last = '\n';
  // A client of shared storage can serve a stale cached page here (zeros past
  // the end it once knew, or nothing at all), so only a second read past the
  // cache says a line is unfinished; a torn ledger is rare enough for it.
  if (readByteAt(file, size - 1, &last) != 0 || last != '\n') {
    if (int error = rereadByteAt(file, size - 1, &last)) return error;
  }
  *ends = last == '\n';
  return 0;
}

namespace {

// A company ledger, and what this run has learnt of it.
struct Ledger {
  const char* path;
  const char* word;
  bool created = false;         // this run created the file
  bool tornReported = false;    // its unfinished last line has been reported
  bool lockReported = false;    // a line went in without the lock, and that was reported
  FileState left = {0, 0, -1};  // where this run's last line left it; size -1 until one did
};

// The ledger a ride goes to: the bus company's for mode BUS, else the metro's.
int ledgerOf(const RideInfo& ride) {
  return ride.tr == MODE_BUS ? 0 : 1;
}

// Reports on standard error, as one line, "LEDGER: what: reason" or, for a
// ride, "LEDGER: LINE: what: reason", so that stderr alone names every ride
// to be settled by hand. `line` is the ledger line without its line end.
void report(const Ledger& ledger, const char* line, int length, const char* what, int error) {
  if (line != nullptr)
    reportLine("%s: %.*s: %s: %s\n", ledger.path, length, line, what, describe(error));
  else
    reportLine("%s: %s: %s\n", ledger.path, what, describe(error));
}

// Whether the locked ledger ends with a line end, known without a read
// when it is as this run's last line left it.
int endsAsLeft(const Ledger& ledger, const LedgerFile& file, const FileState& st, bool* ends) {
  *ends = true;
  if (st.device == ledger.left.device && st.file == ledger.left.file && st.size == ledger.left.size)
    return 0;
  return endsWithLineEnd(file, st.size, ends);
}

// Appends to a regular file: the line lands whole, or the file is cut back
// to its size before the write; a tail that cannot be checked is never
// written after. An unfinished last line, left by an interrupted run or a
// hand edit, is kept and closed with a line end of the run's own rather than
// glued to. Returns 0 when appended, else the error to report the ride with;
// *cutError says why part of a failed write stays in the ledger.
int appendLocked(Ledger* ledger, const LedgerFile& file, const char* text, int length,
                 int* cutError) {
  int lockError = lockLedger(file);
  if (lockError == STOPPED) return STOPPED;
  FileState st;
  if (int error = stateOf(file, &st)) return error;
  const char* bytes = text + LINE_END_LENGTH;
  size_t size = static_cast<size_t>(length);
  bool ends = true;
  if (st.size > 0) {
    if (int error = endsAsLeft(*ledger, file, st, &ends)) return error;
  }
  if (!ends) {
    bytes = text;
    size += LINE_END_LENGTH;
    if (!ledger->tornReported) {
      ledger->tornReported = true;
      (void)std::fprintf(stderr,
                         "%s: last line is unfinished; new lines start on a line of their own\n",
                         ledger->path);
    }
  }
  size_t written = 0;
  if (int error = writeLedger(file, bytes, size, &written)) {
    // Without the lock, another run may have appended after the part that
    // went in: cutting back would erase its line.
    if (written > 0) *cutError = lockError != 0 ? lockError : cutBack(file, st.size);
    return error;
  }
  if (lockError != 0 && !ledger->lockReported) {
    ledger->lockReported = true;
    report(*ledger, nullptr, 0, "appended without a lock", lockError);
  }
  ledger->left = st;
  ledger->left.size += static_cast<long long>(size);
  return 0;
}

// Appends one ledger line; `text` is a line end followed by the line of
// `length` bytes, so that a line end of its own can go out in the same write.
// Every ride that does not reach the ledger is reported by its line.
// Returns whether the line was written.
bool appendLine(Ledger* ledger, const char* text, int length) {
  const char* line = text + LINE_END_LENGTH;
  const int shown = length - LINE_END_LENGTH;
  LedgerFile file;
  int error =
      stopRequest() != nullptr ? STOPPED : openLedger(ledger->path, &file, &ledger->created);
  if (error != 0) {
    report(*ledger, line, shown, "not appended", error);
    return false;
  }
  size_t written = 0;
  int cutError = 0;
  if (file.regular)
    error = appendLocked(ledger, file, text, length, &cutError);
  else
    error = writeLedger(file, line, static_cast<size_t>(length), &written);
  if (error != 0) report(*ledger, line, shown, "not appended", error);
  if (cutError != 0) report(*ledger, nullptr, 0, "part of a line stays at its end", cutError);
  // Closing also releases the lock; on a network file system a failed close
  // can mean the line never reached the server.
  int closeError = closeLedger(file);
  if (closeError != 0 && error == 0)
    report(*ledger, line, shown, "appended, but closing the ledger failed", closeError);
  return error == 0;
}

// A ledger this run created is durable only once its directory entry is:
// flushes the directory of each, once when both share it.
void flushDirectories(const Ledger* ledgers) {
  DirectoryName dirs[2];
  bool known[2] = {};
  for (int i = 0; i < 2; i++) {
    if (!ledgers[i].created) continue;
    int error = directoryOf(ledgers[i].path, &dirs[i]);
    known[i] = error == 0;
    if (i == 1 && known[0] && known[1] && std::strcmp(dirs[0].path, dirs[1].path) == 0) continue;
    if (known[i]) error = flushDirectory(dirs[i]);
    if (error != 0) report(ledgers[i], nullptr, 0, "directory not flushed to disk", error);
  }
}

// Flushes each ledger appended to; when that fails, every ride this run
// appended to it is in doubt (the host may have dropped the pages), so
// each is named.
void flushLedgers(const Ledger* ledgers, const RideInfo* t, const bool* appended) {
  char line[LEDGER_LINE];
  for (int l = 0; l < 2; l++) {
    const Ledger& ledger = ledgers[l];
    if (ledger.left.size < 0) continue;
    int error = flushFile(ledger.path);
    if (error == 0) continue;
    for (int i = 0; i < rideCount; i++) {
      if (!appended[i] || ledgerOf(t[i]) != l) continue;
      int length = formatLedgerLine(t[i], ledger.word, line) - LINE_END_LENGTH;
      report(ledger, line, length, "appended, but not flushed to disk", error);
    }
  }
}

}  // namespace

void writeLedgers(const RideInfo* t, bool tapFilesWhole) {
  // Half a batch appended would be appended again when the whole is rerun.
  if (!tapFilesWhole) {
    reportLine("no ride appended: a tap file was not read whole\n");
    return;
  }
  if (stopRequest() != nullptr) {
    reportLine("no ride appended: %s\n", describe(STOPPED));
    return;
  }
  Ledger ledgers[] = {{"busCompany.txt", "BUS"}, {"metroCompany.txt", "METRO"}};
  bool appended[RIDE_CAPACITY] = {};
  char text[LINE_END_LENGTH + LEDGER_LINE];  // a line end of its own, then the line
  std::memcpy(text, LINE_END, LINE_END_LENGTH);
  for (int i = 0; i < rideCount; i++) {
    Ledger* ledger = &ledgers[ledgerOf(t[i])];
    int length = formatLedgerLine(t[i], ledger->word, text + LINE_END_LENGTH);
    appended[i] = appendLine(ledger, text, length);
  }
  flushLedgers(ledgers, t, appended);
  flushDirectories(ledgers);
}
