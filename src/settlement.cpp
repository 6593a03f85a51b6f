// Settlement: fee apportionment within each journey and the company ledgers.
#include "settlement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
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
  // Where this run's last line left the file; end is -1 until one reached it.
  dev_t dev = 0;
  ino_t ino = 0;
  off_t end = -1;
};

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

bool writeAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Takes the whole-file write lock that every cooperating run takes before it
// appends. Without lock support the line is still appended in one write.
void lockWhole(int fd) {
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  while (fcntl(fd, F_SETLKW, &whole) != 0 && errno == EINTR) {
  }
}

// Whether the locked ledger of size st.st_size > 0 ends with a line end:
// known without a read when it is as this run's last line left it.
bool endsWithLineEnd(const Ledger& ledger, int fd, const struct stat& st) {
  if (st.st_dev == ledger.dev && st.st_ino == ledger.ino && st.st_size == ledger.end) return true;
  char last = '\n';
  return pread(fd, &last, 1, st.st_size - 1) != 1 || last == '\n';
}

// Appends to a locked regular file: the line lands whole, or the file is cut
// back to its size before the write and the loss reported. An unfinished
// last line, left by an interrupted run or a hand edit, is kept and closed
// with a line end of the run's own rather than glued to.
void appendLocked(Ledger* ledger, int fd, const char* text, int length) {
  lockWhole(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    reportError(ledger->path, errno);
    return;
  }
  const char* bytes = text + 1;
  size_t size = static_cast<size_t>(length);
  if (st.st_size > 0 && !endsWithLineEnd(*ledger, fd, st)) {
    bytes = text;
    size++;
    if (!ledger->tornReported) {
      ledger->tornReported = true;
      (void)std::fprintf(stderr,
                         "%s: last line is unfinished; new lines start on a line of their own\n",
                         ledger->path);
    }
  }
  if (!writeAll(fd, bytes, size)) {
    int error = errno;
    if (ftruncate(fd, st.st_size) != 0) reportError(ledger->path, errno);
    reportError(ledger->path, error);
    return;
  }
  ledger->dev = st.st_dev;
  ledger->ino = st.st_ino;
  ledger->end = st.st_size + static_cast<off_t>(size);
}

// Appends one ledger line; `text` is a line end followed by the line of
// `length` bytes, so that a line end of its own can go out in the same write.
// Anything that keeps the line from the ledger is reported on standard error.
void appendLine(Ledger* ledger, const char* text, int length) {
  struct stat st;
  int fd = openLedger(ledger, &st);
  if (fd < 0) {
    reportError(ledger->path, errno);
    return;
  }
  if (S_ISREG(st.st_mode))
    appendLocked(ledger, fd, text, length);
  else if (!writeAll(fd, text + 1, static_cast<size_t>(length)))
    reportError(ledger->path, errno);
  if (close(fd) != 0) reportError(ledger->path, errno);  // also releases the lock
}

// Puts a file or directory on stable storage; `name` says which in a report.
void flushToDisk(const char* path, int flags, const char* name) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
  if (fd < 0 || fsync(fd) != 0) reportError(name, errno);
  if (fd >= 0) (void)close(fd);
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
    if (ledger.end >= 0) flushToDisk(ledger.path, 0, ledger.path);
  }
  // A ledger this run created is durable only once its directory entry is.
  if (ledgers[0].created || ledgers[1].created) flushToDisk(".", O_DIRECTORY, "working directory");
}
