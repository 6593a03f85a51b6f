// Settlement: fee apportionment within each journey and the company ledgers.
#include "settlement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A journey's rides at t[first..last], with the sums the shares are made of.
struct Group {
  int first;
  int last;
  long long total;                  // F: the journey's total fee
  long long weights;                // T: the sum of the weights
  long long weight[RIDE_CAPACITY];  // S(i): fee of ride i and of the rides after it
  int share[RIDE_CAPACITY];
};

void measure(const RideInfo* t, Group* g) {
  long long after = 0;
  g->weights = 0;
  for (int i = g->last; i >= g->first; i--) {
    after += t[i].fee;
    g->weight[i] = after;
    g->weights += after;
  }
  g->total = after;
}

bool fitsInt(double x) {
  return x > -2147483648.5 && x < 2147483647.5;
}

// Works out every share of the group; false when a share would be computed
// from a zero T or would not fit a fee, and then no fee changes.
bool computeShares(Group* g) {
  if (g->weights == 0) return false;
  for (int i = g->first; i <= g->last; i++) {
    double quotient = static_cast<double>(g->weight[i]) / static_cast<double>(g->weights);
    double share = quotient * static_cast<double>(g->total);
    if (!fitsInt(share)) return false;
    g->share[i] = roundHalfAway(share);
  }
  return true;
}

// Re-apportions the rides of t[first..last]; the table's last journey also
// traces each ride's total and weight.
void apportionGroup(RideInfo* t, int first, int last, int ai, bool traceRides) {
  Group g;
  g.first = first;
  g.last = last;
  putTrace("SIZE:", last - first, "  ai:");
  putTrace("", ai, "\n");
  measure(t, &g);
  putTrace("total:", g.weights, "\n");
  bool apportioned = computeShares(&g);
  for (int i = first; i <= last; i++) {
    if (traceRides) {
      putTrace("fee:", g.total, "\n");
      putTrace("temp:", g.weight[i], "\n");
    }
    if (apportioned) t[i].fee = g.share[i];
  }
}

}  // namespace

int roundHalfAway(double x) {
  return static_cast<int>(x >= 0 ? x + 0.5 : x - 0.5);
}

void apportionFees(RideInfo* t) {
  int s = 0;  // equal-key comparisons of the current journey
  for (int ai = 0; ai + 1 < rideCount; ai++) {
    if (std::strcmp(t[ai].ti, t[ai + 1].ti) == 0) {
      s++;
      putText("SAME\n");
      if (ai == rideCount - 2) apportionGroup(t, ai - s + 1, ai + 1, ai, true);
    } else {
      putText("DIFF\n");
      if (s == 0)
        putText("one\n");
      else
        apportionGroup(t, ai - s, ai, ai, false);
      s = 0;
    }
  }
  printRides(t);
}

int formatLedgerLine(const RideInfo& ride, const char* word, char* line) {
  char* p = std::copy_n(ride.lt, std::strlen(ride.lt), line);
  *p++ = ',';
  p = std::copy_n(word, std::strlen(word), p);
  *p++ = ',';
  p = std::to_chars(p, line + LEDGER_LINE, ride.fee).ptr;
  *p++ = '\n';
  return static_cast<int>(p - line);
}

namespace {

// A company ledger, and what this run has learnt of it.
struct Ledger {
  const char* path;
  const char* word;
  bool created = false;       // this run created the file
  bool tornReported = false;  // its unfinished last line has been reported
  bool lockReported = false;  // a line went in without the lock, and that was reported
  // Where this run's last line left the file; end is -1 until one reached it.
  dev_t dev = 0;
  ino_t ino = 0;
  off_t end = -1;
};

// Reports on standard error, as one line, "LEDGER: what: reason" or, for a
// ride, "LEDGER: LINE: what: reason", so that stderr alone names every ride
// to be settled by hand. `line` is the ledger line without its line end.
void report(const Ledger& ledger, const char* line, int length, const char* what, int error) {
  if (line != nullptr)
    (void)std::fprintf(stderr, "%s: %.*s: %s: %s\n", ledger.path, length, line, what,
                       std::strerror(error));
  else
    (void)std::fprintf(stderr, "%s: %s: %s\n", ledger.path, what, std::strerror(error));
}

// Opens the ledger for appending, creating it when absent. A FIFO is opened
// write-only and non-blocking, so that one with no reader fails (ENXIO)
// instead of swallowing the line or hanging the run.
int openLedger(Ledger* ledger, struct stat* st) {
  const int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC;
  int fd = open(ledger->path, flags);
  if (fd < 0 && errno == ENOENT) {
    fd = open(ledger->path, flags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) fd = open(ledger->path, flags | O_CREAT, 0666);
    if (fd >= 0) ledger->created = true;
  }
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0) {
    int error = errno;
    (void)close(fd);
    errno = error;
    return -1;
  }
  if (S_ISFIFO(st->st_mode)) {
    (void)close(fd);  // opened for reading too, the FIFO would always have a reader: us
    fd = open(ledger->path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  }
  return fd;
}

// Writes the bytes, retrying short writes; returns how many were written,
// with errno saying why when that is fewer than `length`.
size_t writeAll(int fd, const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

// Takes the whole-file write lock that every cooperating run takes before it
// appends; returns 0, or why the lock cannot be had.
int lockWhole(int fd) {
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  while (fcntl(fd, F_SETLKW, &whole) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Whether the locked ledger of size st.st_size > 0 ends with a line end,
// in *ends: known without a read when it is as this run's last line left
// it. Returns 0, or the error of a last byte that could not be read.
int endsWithLineEnd(const Ledger& ledger, int fd, const struct stat& st, bool* ends) {
  *ends = true;
  if (st.st_dev == ledger.dev && st.st_ino == ledger.ino && st.st_size == ledger.end) return 0;
  char last = '\n';
  ssize_t n;
  while ((n = pread(fd, &last, 1, st.st_size - 1)) < 0 && errno == EINTR) {
  }
  if (n != 1) return n == 0 ? EIO : errno;  // none read: the file shrank under us
  *ends = last == '\n';
  return 0;
}

// Appends to a regular file: the line lands whole, or the file is cut back
// to its size before the write; a tail that cannot be checked is never
// written after. An unfinished last line, left by an interrupted run or a
// hand edit, is kept and closed with a line end of the run's own rather than
// glued to. Returns 0 when appended, else the error to report the ride with.
int appendLocked(Ledger* ledger, int fd, const char* text, int length) {
  int lockError = lockWhole(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  const char* bytes = text + 1;
  size_t size = static_cast<size_t>(length);
  bool ends = true;
  if (st.st_size > 0) {
    if (int error = endsWithLineEnd(*ledger, fd, st, &ends)) return error;
  }
  if (!ends) {
    bytes = text;
    size++;
    if (!ledger->tornReported) {
      ledger->tornReported = true;
      (void)std::fprintf(stderr,
                         "%s: last line is unfinished; new lines start on a line of their own\n",
                         ledger->path);
    }
  }
  size_t written = writeAll(fd, bytes, size);
  if (written < size) {
    int error = errno;
    report(*ledger, text + 1, length - 1, "not appended", error);
    if (written > 0 && ftruncate(fd, st.st_size) != 0)
      report(*ledger, nullptr, 0, "part of a line stays at its end", errno);
    return -1;  // reported
  }
  if (lockError != 0 && !ledger->lockReported) {
    ledger->lockReported = true;
    report(*ledger, nullptr, 0, "appended without a lock", lockError);
  }
  ledger->dev = st.st_dev;
  ledger->ino = st.st_ino;
  ledger->end = st.st_size + static_cast<off_t>(size);
  return 0;
}

// Appends one ledger line; `text` is a line end followed by the line of
// `length` bytes, so that a line end of its own can go out in the same write.
// Every ride that does not reach the ledger is reported by its line.
void appendLine(Ledger* ledger, const char* text, int length) {
  const char* line = text + 1;
  struct stat st;
  int fd = openLedger(ledger, &st);
  if (fd < 0) {
    report(*ledger, line, length - 1, "not appended", errno);
    return;
  }
  int error = 0;
  if (S_ISREG(st.st_mode))
    error = appendLocked(ledger, fd, text, length);
  else if (writeAll(fd, line, static_cast<size_t>(length)) < static_cast<size_t>(length))
    error = errno;
  if (error > 0) report(*ledger, line, length - 1, "not appended", error);
  // Closing also releases the lock; on a network file system a failed close
  // can mean the line never reached the server.
  if (close(fd) != 0 && error == 0)
    report(*ledger, line, length - 1, "appended, but closing the ledger failed", errno);
}

// Puts a file or directory on stable storage; returns 0 or why not.
int flushToDisk(const char* path, int flags) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
  if (fd < 0) return errno;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  int error = 0;  // a fuzzer learns nothing from the disk, and runs far slower
#else
  int error = fsync(fd) != 0 ? errno : 0;
#endif
  (void)close(fd);
  return error;
}

// The directory that holds the file `path` names, links resolved, into
// dir[PATH_MAX]; returns 0 or why it cannot be known.
int directoryOf(const char* path, char* dir) {
  if (realpath(path, dir) == nullptr) return errno;
  char* slash = std::strrchr(dir, '/');
  slash[slash == dir ? 1 : 0] = '\0';
  return 0;
}

// A ledger this run created is durable only once its directory entry is:
// flushes the directory of each, once when both share it.
void flushDirectories(const Ledger* ledgers) {
  char dirs[2][PATH_MAX];
  int errors[2] = {};
  bool known[2] = {};
  for (int i = 0; i < 2; i++) {
    if (!ledgers[i].created) continue;
    errors[i] = directoryOf(ledgers[i].path, dirs[i]);
    known[i] = errors[i] == 0;
    if (i == 1 && known[0] && known[1] && std::strcmp(dirs[0], dirs[1]) == 0)
      errors[1] = errors[0];
    else if (known[i])
      errors[i] = flushToDisk(dirs[i], O_DIRECTORY);
    if (errors[i] != 0) report(ledgers[i], nullptr, 0, "directory not flushed to disk", errors[i]);
  }
}

}  // namespace

void writeLedgers(const RideInfo* t) {
  Ledger ledgers[] = {{"busCompany.txt", "BUS"}, {"metroCompany.txt", "METRO"}};
  char text[LEDGER_LINE + 1];  // a line end of its own, then the line
  text[0] = '\n';
  for (int i = 0; i < rideCount; i++) {
    Ledger* ledger = &ledgers[t[i].tr == MODE_BUS ? 0 : 1];
    int length = formatLedgerLine(t[i], ledger->word, text + 1);
    appendLine(ledger, text, length);
  }
  for (const Ledger& ledger : ledgers) {
    if (ledger.end < 0) continue;
    if (int error = flushToDisk(ledger.path, 0))
      report(ledger, nullptr, 0, "not flushed to disk", error);
  }
  flushDirectories(ledgers);
}
