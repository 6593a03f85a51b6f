// LEDGERDIR/settled-days: a record a line, "day METRO-SIZE METRO-SUM
// BUS-SIZE BUS-SUM ID DIR" (ID the journal's own) and "group ID G L START
// LENGTH SUM" for each range a finished group filled, each with its checksum as the journal writes
// them, appended under a lock and flushed (its directory too, when new) before the day's first line
// reaches a ledger.
#include "record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "durable.h"

namespace {

std::string filesOf(const DayIdentity& day) {
  std::ostringstream out;
  out << day.sizes[0] << ' ' << std::hex << day.sums[0] << std::dec << ' ' << day.sizes[1] << ' '
      << std::hex << day.sums[1];
  return out.str();
}

int openLocked(const std::string& path, bool* made, int* fd) {
  *fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (*fd < 0 && errno == ENOENT) {
    *fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    *made = *fd >= 0;
  }
  if (*fd < 0) return errno;
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  int error = 0;
  while (fcntl(*fd, F_SETLKW, &whole) != 0 && (error = errno) == EINTR) error = 0;
  return error;
}

int readAll(int fd, std::string* text) {
  char chunk[1 << 14];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text->append(chunk, static_cast<size_t>(n));
    at += n;
  }
}

}  // namespace

int settledDays(const std::string& ledgerDir, const DayIdentity& day, const std::string& dir,
                bool fresh, bool again, std::string* settledBy, int* damaged) {
  bool made = false;
  int fd = -1;
  int error = openLocked(ledgerDir + "/settled-days", &made, &fd);
  if (fd < 0) return error;
  std::string text;
  if (error == 0) error = readAll(fd, &text);
  const std::string files = "day " + filesOf(day) + " ";
  bool mine = false;
  std::string other;
  size_t at = 0;
  for (int number = 1; error == 0 && at < text.size(); number++) {
    size_t end = text.find('\n', at);
    std::string body;
    if (end == std::string::npos || !checkRecord(text.substr(at, end - at), &body)) {
      if (end != std::string::npos && end + 1 < text.size()) {
        error = EILSEQ;
        *damaged = number;
      }
      break;  // a torn last record: the run that wrote it had not begun its day
    }
    if (body.starts_with(files)) {  // "ID DIR" follows
      size_t space = body.find(' ', files.size());
      bool same = body.compare(files.size(), space - files.size(), day.id) == 0;
      mine = mine || same;
      if (!same && other.empty() && space != std::string::npos) other = body.substr(space + 1);
    }
    at = end + 1;
  }
  // A DIR with a journal of the day goes on from it; without one, any
  // record of the day means its lines may be in the ledgers already.
  if (!again && (fresh ? mine || !other.empty() : !mine && !other.empty()))
    *settledBy = mine ? dir : other;
  if (error == 0 && !mine && settledBy->empty()) {
    std::string record = sealRecord(files + day.id + " " + dir);
    if (at < text.size() && ftruncate(fd, static_cast<off_t>(at)) != 0) error = errno;
    if (error == 0) error = writeAll(fd, record.data(), record.size());
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (error == 0 && made) error = flushDirectoryAt(ledgerDir);
  }
  (void)close(fd);
  return error;
}

int recordRanges(const std::string& ledgerDir, const std::string& id,
                 const std::vector<std::string>& ranges) {
  bool made = false;
  int fd = -1;
  int error = openLocked(ledgerDir + "/settled-days", &made, &fd);
  if (fd < 0) return error;
  std::string records;
  for (const std::string& range : ranges) records += sealRecord("group " + id + " " + range);
  if (error == 0) error = writeAll(fd, records.data(), records.size());
  if (error == 0 && fsync(fd) != 0) error = errno;
  (void)close(fd);
  return error;
}
