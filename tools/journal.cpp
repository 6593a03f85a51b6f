// The day's journal: records appended one write each, a checksum per
// record, the whole file locked while a run holds the day.
#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "durable.h"

namespace {

uint32_t recordSum(const std::string& body) {
  uint32_t h = 2166136261u;
  for (unsigned char c : body) h = (h ^ c) * 16777619u;
  return h;
}

// "BODY SUM": the body when the line is whole and its checksum right.
bool checkRecord(const std::string& line, std::string* body) {
  size_t space = line.rfind(' ');
  if (space == std::string::npos || line.size() - space != 9) return false;
  *body = line.substr(0, space);
  char sum[9];
  (void)std::snprintf(sum, sizeof sum, "%08" PRIx32, recordSum(*body));
  return line.compare(space + 1, 8, sum) == 0;
}

bool readLedgerStart(std::istringstream& in, LedgerStart* l) {
  int lead = 0;
  in >> l->start >> lead >> l->skip >> l->device >> l->file;
  l->lead = lead != 0;
  return !in.fail();
}

void writeLedgerStart(std::ostringstream& out, const LedgerStart& l) {
  out << ' ' << l.start << ' ' << (l.lead ? 1 : 0) << ' ' << l.skip << ' ' << l.device << ' '
      << l.file;
}

// Applies one record; false when it is none the journal writes.
bool apply(const std::string& body, DayIdentity* id, std::vector<GroupRecord>* groups) {
  std::istringstream in(body);
  std::string kind;
  in >> kind;
  if (kind == "day") {
    in >> id->sizes[0] >> std::hex >> id->sums[0] >> std::dec >> id->sizes[1] >> std::hex >>
        id->sums[1] >> std::dec >> id->batchTaps >> id->groupBatches;
    return !in.fail();
  }
  if (kind == "name" || kind == "ledger") {
    std::string which;
    in >> which;
    int i = which == (kind == "name" ? "metro" : "bus") ? 0 : 1;
    size_t at = kind.size() + 1 + which.size() + 1;
    if (at > body.size()) return false;
    (kind == "name" ? id->names : id->ledgers)[i] = body.substr(at);
    return true;
  }
  int g = -1;
  in >> g;
  if (in.fail() || g < 0 || g > 100000000) return false;
  if (static_cast<size_t>(g) >= groups->size()) groups->resize(static_cast<size_t>(g) + 1);
  GroupRecord& r = (*groups)[static_cast<size_t>(g)];
  if (kind == "begin") {
    GroupRecord fresh;
    fresh.begun = true;
    in >> fresh.boot;
    if (fresh.boot == "-") fresh.boot.clear();
    if (!readLedgerStart(in, &fresh.ledgers[0]) || !readLedgerStart(in, &fresh.ledgers[1]))
      return false;
    r = fresh;
    return true;
  }
  if (kind == "done") return r.done = true;
  int l = -1;
  in >> l;
  if (in.fail() || l < 0 || l > 1) return false;
  if (kind == "writing") return r.writing[l] = true;
  if (kind == "wrote") return r.wrote[l] = true;
  return false;
}

}  // namespace

uint64_t checksumOf(const char* bytes, size_t size) {
  uint64_t h = 0x6A09E667F3BCC908ULL ^ size;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, bytes + i, 8);
    h = ((h ^ w) << 31 | (h ^ w) >> 33) * 0x9E3779B97F4A7C15ULL;
  }
  for (; i < size; i++) h = (h ^ static_cast<unsigned char>(bytes[i])) * 0x100000001B3ULL;
  return h ^ (h >> 29);
}

std::string currentBoot() {
  if (const char* given = std::getenv("FARE_SETTLE_DAY_BOOT_ID")) return given;  // for tests
  FILE* in = std::fopen("/proc/sys/kernel/random/boot_id", "r");
  if (in == nullptr) return "";
  char id[64] = "";
  if (std::fgets(id, sizeof id, in) == nullptr) id[0] = '\0';
  std::fclose(in);
  id[std::strcspn(id, "\n ")] = '\0';
  return id;
}

int Journal::open(const std::string& dir, long* holder) {
  path_ = dir + "/journal";
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd_ < 0) return errno;
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd_, F_SETLK, &whole) == 0) return 0;
  int error = errno;
  if (error == EAGAIN || error == EACCES) {
    struct flock asked = whole;
    *holder = fcntl(fd_, F_GETLK, &asked) == 0 && asked.l_type != F_UNLCK ? asked.l_pid : 0;
    return EAGAIN;
  }
  return error;
}

Journal::~Journal() {
  if (fd_ >= 0) (void)close(fd_);
}

bool Journal::read(DayIdentity* identity, std::vector<GroupRecord>* groups, int* error) {
  *error = 0;
  std::string text;
  char chunk[1 << 16];
  ssize_t n;
  off_t at = 0;
  while ((n = pread(fd_, chunk, sizeof chunk, at)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      return false;
    }
    text.append(chunk, static_cast<size_t>(n));
    at += n;
  }
  size_t good = 0;  // the end of the last whole record
  bool any = false;
  while (good < text.size()) {
    size_t end = text.find('\n', good);
    std::string body;
    bool whole = end != std::string::npos && checkRecord(text.substr(good, end - good), &body);
    if (!whole) {
      // Only the last record can be torn: the journal is only ever appended to.
      if (end != std::string::npos && end + 1 < text.size()) *error = EILSEQ;
      break;
    }
    if (!apply(body, identity, groups)) {
      *error = EILSEQ;
      break;
    }
    any = true;
    good = end + 1;
  }
  if (*error == 0 && good < text.size() && ftruncate(fd_, static_cast<off_t>(good)) != 0)
    *error = errno;
  return any;
}

int Journal::append(const std::string& body, bool flushNow) {
  char sum[16];
  (void)std::snprintf(sum, sizeof sum, " %08" PRIx32 "\n", recordSum(body));
  std::string line = body + sum;
  if (int error = writeAll(fd_, line.data(), line.size())) return error;
  return flushNow ? flush() : 0;
}

int Journal::flush() {
  return fsync(fd_) == 0 ? 0 : errno;
}

int Journal::writeIdentity(const DayIdentity& id) {
  std::ostringstream day;
  day << "day " << id.sizes[0] << ' ' << std::hex << id.sums[0] << std::dec << ' ' << id.sizes[1]
      << ' ' << std::hex << id.sums[1] << std::dec << ' ' << id.batchTaps << ' ' << id.groupBatches;
  const std::string records[] = {day.str(), "name metro " + id.names[0], "name bus " + id.names[1],
                                 "ledger bus " + id.ledgers[0], "ledger metro " + id.ledgers[1]};
  for (const std::string& r : records)
    if (int error = append(r, false)) return error;
  return flush();
}

int Journal::begin(int group, const GroupRecord& record) {
  std::ostringstream out;
  out << "begin " << group << ' ' << (record.boot.empty() ? "-" : record.boot);
  writeLedgerStart(out, record.ledgers[0]);
  writeLedgerStart(out, record.ledgers[1]);
  return append(out.str(), true);
}

int Journal::mark(int group, const char* what, int ledger) {
  std::ostringstream body;
  body << what << ' ' << group;
  if (ledger >= 0) body << ' ' << ledger;
  return append(body.str(), false);
}
