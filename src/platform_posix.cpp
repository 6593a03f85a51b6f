// The host interface on POSIX: descriptors, fcntl record locks, fsync.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform.h"

// A ledger past 2 GiB must stay appendable on 32-bit hosts too.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64: ledgers only ever grow");

namespace {

int fdOf(const LedgerFile& file) {
  return static_cast<int>(file.handle);
}

constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t stopSignal = 0;
// While a run waits for a ledger lock, a stop request jumps out of the wait:
// checking for one and then waiting would miss a request in between.
volatile sig_atomic_t lockWaiting = 0;
sigjmp_buf lockWait;

void noteStop(int signal) {
  stopSignal = signal;
  if (lockWaiting != 0) siglongjmp(lockWait, 1);
}

}  // namespace

// A closed standard stream is reopened on /dev/null, and a file-size limit
// or a vanished reader of the trace becomes a reported write error instead
// of a signal that would end the run between two ledger lines. A stop
// signal is noted; the ledger stage finishes the line it is appending.
void guardProcess() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) break;
  }
  (void)std::signal(SIGXFSZ, SIG_IGN);
  (void)std::signal(SIGPIPE, SIG_IGN);
  struct sigaction stop = {};
  stop.sa_handler = noteStop;
  stop.sa_flags = SA_RESTART;  // the trace's writes go on through a request
  sigemptyset(&stop.sa_mask);
  for (int signal : STOP_SIGNALS) sigaddset(&stop.sa_mask, signal);
  for (int signal : STOP_SIGNALS) (void)sigaction(signal, &stop, nullptr);
}

const char* stopRequest() {
  switch (stopSignal) {
    case 0:
      return nullptr;
    case SIGINT:
      return "Interrupt";
    case SIGHUP:
      return "Hangup";
    default:
      return "Terminated";
  }
}

void endIfStopped() {
  const int signal = stopSignal;
  if (signal == 0) return;
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

// The type is checked before the open, so that a FIFO is never opened (an
// open would wait for a writer) and a socket is named for what it is.
int openTapFile(const char* path, FILE** in) {
  struct stat st;
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return NOT_REGULAR_FILE;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  if (fstat(fd, &st) != 0)
    error = errno;
  else if (S_ISDIR(st.st_mode))
    error = EISDIR;
  else if (!S_ISREG(st.st_mode))
    error = NOT_REGULAR_FILE;  // swapped in since the check above
  FILE* stream = error == 0 ? fdopen(fd, "rb") : nullptr;
  if (stream == nullptr) {
    if (error == 0) error = errno;
    (void)close(fd);
    return error;
  }
  *in = stream;
  return 0;
}

// A FIFO is opened write-only and non-blocking, so that one with no reader
// fails (ENXIO) instead of swallowing the line or hanging the run.
int openLedger(const char* path, LedgerFile* file, bool* created) {
  const int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path, flags);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path, flags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) fd = open(path, flags | O_CREAT, 0666);
    if (fd >= 0) *created = true;
  }
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    (void)close(fd);
    return error;
  }
  if (S_ISFIFO(st.st_mode)) {
    (void)close(fd);  // opened for reading too, the FIFO would always have a reader: us
    fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
  }
  if (fd <= 2) {
    // A closed standard stream that /dev/null could not fill: a report
    // written to it must never land in the ledger.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    (void)close(fd);
    if (moved < 0) return error;
    fd = moved;
  }
  file->handle = fd;
  file->regular = S_ISREG(st.st_mode);
  return 0;
}

int lockLedger(const LedgerFile& file) {
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (sigsetjmp(lockWait, 1) != 0) {
    lockWaiting = 0;  // the lock, if it was taken just before, goes with the close
    return STOPPED;
  }
  lockWaiting = 1;
  int error = 0;
  if (stopSignal != 0)
    error = STOPPED;
  else
    while (fcntl(fdOf(file), F_SETLKW, &whole) != 0 && (error = errno) == EINTR) error = 0;
  lockWaiting = 0;
  return error;
}

int stateOf(const LedgerFile& file, FileState* state) {
  struct stat st;
  if (fstat(fdOf(file), &st) != 0) return errno;
  state->device = st.st_dev;
  state->file = st.st_ino;
  state->size = st.st_size;
  return 0;
}

int readByteAt(const LedgerFile& file, long long offset, char* byte) {
  ssize_t n;
  while ((n = pread(fdOf(file), byte, 1, offset)) < 0 && errno == EINTR) {
  }
  if (n == 1) return 0;
  return n == 0 ? EIO : errno;  // none read: the file shrank under us
}

int readBlock(const LedgerFile& file, long long offset, char* bytes, size_t length, size_t* got) {
  ssize_t n;
  while ((n = pread(fdOf(file), bytes, length, offset)) < 0 && errno == EINTR) {
  }
  if (n < 0) return errno;
  *got = static_cast<size_t>(n);
  return 0;
}

// Drops the cached pages from the byte's on (a hint; rounded down to 64 KiB,
// the largest page size, since partial pages are kept) before the read.
int rereadByteAt(const LedgerFile& file, long long offset, char* byte) {
  (void)posix_fadvise(fdOf(file), offset - offset % 65536, 0, POSIX_FADV_DONTNEED);
  return readByteAt(file, offset, byte);
}

int writeLedger(const LedgerFile& file, const char* bytes, size_t length, size_t* written) {
  *written = 0;
  while (*written < length) {
    ssize_t n = write(fdOf(file), bytes + *written, length - *written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? EIO : errno;
    *written += static_cast<size_t>(n);
  }
  return 0;
}

int cutBack(const LedgerFile& file, long long size) {
  return ftruncate(fdOf(file), size) == 0 ? 0 : errno;
}

int closeLedger(const LedgerFile& file) {
  return close(fdOf(file)) == 0 ? 0 : errno;
}

namespace {

int flushDescriptor(int fd) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  (void)fd;
  return 0;  // a fuzzer learns nothing from the disk, and runs far slower
#else
  return fsync(fd) != 0 ? errno : 0;
#endif
}

int flushPath(const char* path, int flags) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
  if (fd < 0) return errno;
  int error = flushDescriptor(fd);
  (void)close(fd);
  return error;
}

}  // namespace

int flushFile(const char* path) {
  return flushPath(path, 0);
}

int flushLedger(const LedgerFile& file) {
  return flushDescriptor(fdOf(file));
}

int directoryOf(const char* path, DirectoryName* dir) {
  static_assert(sizeof dir->path >= PATH_MAX, "realpath writes up to PATH_MAX bytes");
  if (realpath(path, dir->path) == nullptr) return errno;
  char* slash = std::strrchr(dir->path, '/');
  slash[slash == dir->path ? 1 : 0] = '\0';
  return 0;
}

int flushDirectory(const DirectoryName& dir) {
  return flushPath(dir.path, O_DIRECTORY);
}
