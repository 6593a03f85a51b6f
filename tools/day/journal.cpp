// The day's journal: records appended one write each, a checksum per
// record, the whole file locked while a run holds the day. Only the last
// record can be torn (a crash inside its write, before its flush returned,
// so nothing it announced was done); any other damage stops every run.
#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include "durable.h"

namespace {

uint32_t recordSum(const std::string& body) {
  uint32_t h = 2166136261u;
  for (unsigned char c : body) h = (h ^ c) * 16777619u;
  return h;
}

GroupRecord* groupAt(std::istringstream& in, std::vector<GroupRecord>* groups) {
  int g = -1;
  in >> g;
  if (in.fail() || g < 0 || g > 100000000) return nullptr;
  if (static_cast<size_t>(g) >= groups->size()) groups->resize(static_cast<size_t>(g) + 1);
  return &(*groups)[static_cast<size_t>(g)];
}

// Applies one record; false when it is none the journal writes.
bool apply(const std::string& body, DayIdentity* id, std::vector<GroupRecord>* groups,
           std::vector<Revision>* revisions) {
  std::istringstream in(body);
  std::string kind;
  in >> kind;
  if (kind == "revision") {
    Revision r;
    in >> r.number >> r.group >> r.sizes[0] >> std::hex >> r.sums[0] >> std::dec >> r.sizes[1] >>
        std::hex >> r.sums[1] >> std::dec >> r.rides[0] >> r.money[0] >> r.rides[1] >> r.money[1] >>
        r.moneyIn;
    if (in.fail() || r.number != static_cast<int>(revisions->size())) return false;
    revisions->push_back(r);
    return true;
  }
  if (kind == "day") {
    in >> id->sizes[0] >> std::hex >> id->sums[0] >> std::dec >> id->sizes[1] >> std::hex >>
        id->sums[1] >> std::dec >> id->batchTaps >> id->groupBatches;
    return !in.fail();
  }
  if (kind == "id") {
    in >> id->id;
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
  GroupRecord* r = groupAt(in, groups);
  if (r == nullptr) return false;
  if (kind == "done") return r->done = true;
  if (kind != "range") return false;
  int l = -1, lead = 0;
  LedgerRange range;
  in >> l >> range.start >> range.skip >> lead >> range.length >> std::hex >> range.sum;
  if (in.fail() || l < 0 || l > 1 || range.start < 0 || range.skip < 0 || range.length < 0)
    return false;
  range.lead = lead != 0;
  range.recorded = true;
  r->ranges[l] = range;
  return true;
}

}  // namespace

std::string sealRecord(const std::string& body) {
  char sum[16];
  (void)std::snprintf(sum, sizeof sum, " %08" PRIx32 "\n", recordSum(body));
  return body + sum;
}

bool checkRecord(const std::string& line, std::string* body) {
  size_t space = line.rfind(' ');
  if (space == std::string::npos || line.size() - space != 9) return false;
  *body = line.substr(0, space);
  char sum[9];
  (void)std::snprintf(sum, sizeof sum, "%08" PRIx32, recordSum(*body));
  return line.compare(space + 1, 8, sum) == 0;
}

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

std::string newDayId() {
  uint64_t id = 0;
  if (FILE* random = std::fopen("/dev/urandom", "rb")) {
    if (std::fread(&id, sizeof id, 1, random) != 1) id = 0;
    std::fclose(random);
  }
  if (id == 0)
    id = static_cast<uint64_t>(std::time(nullptr)) << 22 ^ static_cast<uint64_t>(getpid());
  char text[17];
  (void)std::snprintf(text, sizeof text, "%016" PRIx64, id);
  return text;
}

std::string relativePath(const std::string& from, const std::string& to) {
  auto parts = [](const std::string& path) {
    std::vector<std::string> names;
    std::istringstream in(path);
    for (std::string name; std::getline(in, name, '/');)
      if (!name.empty()) names.push_back(name);
    return names;
  };
  std::vector<std::string> f = parts(from), t = parts(to);
  size_t same = 0;
  while (same < f.size() && same < t.size() && f[same] == t[same]) same++;
  std::string path;
  for (size_t i = same; i < f.size(); i++) path += "../";
  for (size_t i = same; i < t.size(); i++) path += t[i] + (i + 1 < t.size() ? "/" : "");
  return path;
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
  const std::string path = dir + "/journal";
  fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  bool made = false;
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    made = fd_ >= 0;
  }
  if (fd_ < 0) return errno;
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd_, F_SETLK, &whole) != 0) {
    int error = errno;
    if (error != EAGAIN && error != EACCES) return error;
    struct flock asked = whole;
    *holder = fcntl(fd_, F_GETLK, &asked) == 0 && asked.l_type != F_UNLCK ? asked.l_pid : 0;
    return EAGAIN;
  }
  // A journal that is new must outlive a power cut before anything it records happens.
  return made ? flushDirectoryAt(dir) : 0;
}

Journal::~Journal() {
  if (fd_ >= 0) (void)close(fd_);
}

bool Journal::read(DayIdentity* identity, std::vector<GroupRecord>* groups,
                   std::vector<Revision>* revisions, int* error, int* damaged) {
  *error = 0;
  *damaged = 0;
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
  for (int number = 1; good < text.size(); number++) {
    size_t end = text.find('\n', good);
    bool last = end == std::string::npos || end + 1 == text.size();
    std::string body;
    if (end == std::string::npos || !checkRecord(text.substr(good, end - good), &body) ||
        !apply(body, identity, groups, revisions)) {
      if (!last) {
        *error = EILSEQ;
        *damaged = number;
      }
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
  std::string line = sealRecord(body);
  if (int error = writeAll(fd_, line.data(), line.size())) return error;
  return flushNow && fsync(fd_) != 0 ? errno : 0;
}

int Journal::writeIdentity(const DayIdentity& id) {
  std::ostringstream day;
  day << "day " << id.sizes[0] << ' ' << std::hex << id.sums[0] << std::dec << ' ' << id.sizes[1]
      << ' ' << std::hex << id.sums[1] << std::dec << ' ' << id.batchTaps << ' ' << id.groupBatches;
  const std::string records[] = {day.str(),
                                 "id " + id.id,
                                 "name metro " + id.names[0],
                                 "name bus " + id.names[1],
                                 "ledger bus " + id.ledgers[0],
                                 "ledger metro " + id.ledgers[1]};
  for (const std::string& r : records)
    if (int error = append(r, &r == &records[5])) return error;
  return 0;
}

int Journal::range(int group, int ledger, const LedgerRange& r, const std::string& boot) {
  std::ostringstream out;
  out << "range " << group << ' ' << ledger << ' ' << r.start << ' ' << r.skip << ' '
      << (r.lead ? 1 : 0) << ' ' << r.length << ' ' << std::hex << r.sum << std::dec << ' '
      << (boot.empty() ? "-" : boot);
  return append(out.str(), true);
}

int Journal::revision(const Revision& r) {
  std::ostringstream out;
  out << "revision " << r.number << ' ' << r.group << ' ' << r.sizes[0] << ' ' << std::hex
      << r.sums[0] << std::dec << ' ' << r.sizes[1] << ' ' << std::hex << r.sums[1] << std::dec
      << ' ' << r.rides[0] << ' ' << r.money[0] << ' ' << r.rides[1] << ' ' << r.money[1] << ' '
      << r.moneyIn;
  return append(out.str(), true);
}

int Journal::done(int group) {
  return append("done " + std::to_string(group), true);
}
