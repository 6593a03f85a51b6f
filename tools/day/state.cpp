// The settled day's state. Written in one pass as it is made: a header
// (rewritten last with the counts), the lines' hashes, their journeys, the
// keys, then a record per settled journey (its number, ride count and
// amounts as varints, its rides); flushed, renamed into place and the
// rename flushed, so that it is whole or absent. Host byte order: a state
// from a host of the other order is refused. Read back by mapping it.
#include "state.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "durable.h"
#include "journal.h"
#include "platform.h"

namespace {

constexpr char MAGIC[8] = {'F', 'S', 'S', 'T', 'A', 'T', 'E', '2'};
constexpr uint32_t ORDER = 0x01020304u;

struct Header {
  char magic[8];
  uint32_t order;
  uint32_t spare;
  uint64_t sizes[2], sums[2], lineCount[2];
  uint64_t keys, journeyBytes;
};

bool isHhMm(const char* t) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return std::strlen(t) == 5 && digit(t[0]) && digit(t[1]) && t[2] == ':' && digit(t[3]) &&
         digit(t[4]);
}

uint64_t getVarint(const uint8_t* p, size_t* at) {
  uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t b = p[(*at)++];
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) break;
  }
  return v;
}

uint64_t zigzag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ (v < 0 ? ~uint64_t{0} : 0);
}

int64_t unzigzag(uint64_t z) {
  return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1);
}

}  // namespace

uint64_t lineHash(const char* bytes, size_t length) {
  return checksumOf(bytes, length);
}

size_t encodeRide(const RideInfo& ride, uint8_t* out) {
  size_t n = 0;
  bool hhmm = isHhMm(ride.lt);
  out[n++] = static_cast<uint8_t>((ride.tr == MODE_BUS ? 0 : 1) | (hhmm ? 2 : 0));
  if (hhmm) {
    int minutes = ((ride.lt[0] - '0') * 10 + ride.lt[1] - '0') * 60 + (ride.lt[3] - '0') * 10 +
                  ride.lt[4] - '0';
    out[n++] = static_cast<uint8_t>(minutes & 0xff);
    out[n++] = static_cast<uint8_t>(minutes >> 8);
  } else {
    size_t length = std::strlen(ride.lt);  // at most 19
    out[n++] = static_cast<uint8_t>(length);
    std::memcpy(out + n, ride.lt, length);
    n += length;
  }
  for (uint64_t z = zigzag(ride.fee);; z >>= 7) {
    out[n++] = static_cast<uint8_t>((z & 0x7f) | (z > 0x7f ? 0x80 : 0));
    if (z <= 0x7f) break;
  }
  return n;
}

void decodeRide(const uint8_t* rides, size_t* at, bool reversed, int* ledger, std::string* line,
                long long* fee) {
  uint8_t flags = rides[(*at)++];
  *ledger = flags & 1;
  if ((flags & 2) != 0) {
    int minutes = rides[*at] | rides[*at + 1] << 8;
    *at += 2;
    char hhmm[8];
    (void)std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", minutes / 60 % 100, minutes % 60);
    *line = hhmm;
  } else {
    size_t n = rides[(*at)++];
    line->assign(reinterpret_cast<const char*>(rides + *at), n);
    *at += n;
  }
  *fee = unzigzag(getVarint(rides, at));
  if (reversed) *fee = -*fee;
  // A reversal's fee is the ride's with its sign turned, "-0" for a 0.
  const char* sign = reversed && *fee == 0 ? "-" : "";
  *line += std::string(*ledger != 0 ? ",METRO," : ",BUS,") + sign + std::to_string(*fee) + LINE_END;
}

size_t skipRides(const uint8_t* rides, size_t at, int count) {
  for (int r = 0; r < count; r++) {
    uint8_t flags = rides[at++];
    at += (flags & 2) != 0 ? 2 : 1 + rides[at];
    while ((rides[at++] & 0x80) != 0) {
    }
  }
  return at;
}

StateWriter::~StateWriter() {
  if (fd_ >= 0) {
    (void)close(fd_);
    (void)unlink((path_ + ".tmp").c_str());
  }
}

void StateWriter::Stream::put(const void* bytes, size_t length) {
  if (length == 0) return;  // an empty array may have no storage at all
  if (used + length > buffer.size()) flush();
  if (length >= buffer.size()) {  // a whole array: straight to the file
    write(static_cast<const char*>(bytes), length);
    return;
  }
  std::memcpy(buffer.data() + used, bytes, length);
  used += length;
}

void StateWriter::Stream::write(const char* bytes, size_t length) {
  for (size_t done = 0; done < length && error == 0;) {
    ssize_t n = pwrite(fd, bytes + done, length - done, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = n == 0 ? EIO : errno;
    done += n > 0 ? static_cast<size_t>(n) : 0;
    at += n > 0 ? n : 0;
  }
}

void StateWriter::Stream::flush() {
  write(buffer.data(), used);
  used = 0;
}

int StateWriter::open(const std::string& path, uint64_t lines, uint64_t keys) {
  path_ = path;
  lines_ = lines;
  keys_ = keys;
  fd_ = ::open((path + ".tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return errno;
  const size_t pad = lines % 2 == 1 && keys > 0 ? 4 : 0;  // the keys 8-byte aligned
  for (Stream* s : {&front_, &journeys_}) {
    s->fd = fd_;
    s->buffer.resize(1 << 20);
  }
  front_.at = sizeof(Header);
  const uint64_t at = sizeof(Header) + lines * 12 + pad + keys * 8;
  journeys_.at = static_cast<long long>(at);
  return 0;
}

void StateWriter::front(const Day& day) {
  for (const DayLine& l : day.lines)
    frontHash(lineHash(day.sources[l.source].bytes.data() + l.offset, l.length));
  for (const DayLine& l : day.lines) frontJourney(l.journey | (l.metro != 0 ? METRO_LINE : 0));
  std::vector<uint64_t> keys;
  keys.reserve(day.journeys.size());
  for (const DayJourney& j : day.journeys) keys.push_back(j.key);
  frontKeys(keys.data());
}

void StateWriter::frontKeys(const uint64_t* keys) {
  if (lines_ % 2 == 1 && keys_ > 0) front_.put("\0\0\0\0", 4);  // the keys 8-byte aligned
  front_.put(keys, keys_ * sizeof *keys);
  front_.flush();
  // Most of the file is on stable storage before finish(), which then
  // flushes little more than the journeys: done here, on the front's core.
  if (front_.error == 0 && fdatasync(fd_) != 0) front_.error = errno;
}

void encodeJourney(uint32_t j, int64_t amount, int rides, const uint8_t* encoded, size_t length,
                   DayBytes* out) {
  char head[24];
  size_t n = 0;
  for (uint64_t v = j;; v >>= 7) {
    head[n++] = static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
    if (v <= 0x7f) break;
  }
  head[n++] = static_cast<char>(rides);
  for (uint64_t z = zigzag(amount);; z >>= 7) {
    head[n++] = static_cast<char>((z & 0x7f) | (z > 0x7f ? 0x80 : 0));
    if (z <= 0x7f) break;
  }
  out->append(head, n).append(reinterpret_cast<const char*>(encoded), length);
}

void StateWriter::journey(uint32_t j, int64_t amount, int rides, const uint8_t* encoded,
                          size_t length) {
  DayBytes record;
  encodeJourney(j, amount, rides, encoded, length, &record);
  journeys(record);
}

void StateWriter::journeys(const DayBytes& encoded) {
  journeys_.put(encoded.data(), encoded.size());
  journeyBytes_ += encoded.size();
}

int StateWriter::finish(const uint64_t* sizes, const uint64_t* sums, const uint64_t* lineCount) {
  journeys_.flush();
  Header h = {};
  std::memcpy(h.magic, MAGIC, sizeof MAGIC);
  h.order = ORDER;
  for (int i = 0; i < 2; i++) {
    h.sizes[i] = sizes[i];
    h.sums[i] = sums[i];
    h.lineCount[i] = lineCount[i];
  }
  h.keys = keys_;
  h.journeyBytes = journeyBytes_;
  int error = front_.error != 0 ? front_.error : journeys_.error;
  if (error == 0 && lineCount[0] + lineCount[1] != lines_) error = EINVAL;
  if (error == 0 && pwrite(fd_, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h))
    error = errno != 0 ? errno : EIO;
  if (error == 0 && fsync(fd_) != 0) error = errno;
  if (close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  const std::string temporary = path_ + ".tmp";
  if (error == 0 && std::rename(temporary.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) {
    (void)unlink(temporary.c_str());
    return error;
  }
  return flushDirectoryAt(parentOf(path_));
}

DayState::~DayState() {
  if (map != nullptr) (void)munmap(map, mapped);
}

int readState(const std::string& path, DayState* s) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int error = fstat(fd, &st) == 0 ? 0 : errno;
  if (error == 0 && static_cast<size_t>(st.st_size) < sizeof(Header)) error = EILSEQ;
  if (error == 0) {
    s->mapped = static_cast<size_t>(st.st_size);
    s->map = mmap(nullptr, s->mapped, PROT_READ, MAP_PRIVATE, fd, 0);
    if (s->map == MAP_FAILED) {
      s->map = nullptr;
      error = errno;
    }
  }
  (void)close(fd);
  if (error != 0) return error;
  const auto* base = static_cast<const uint8_t*>(s->map);
  Header h;
  std::memcpy(&h, base, sizeof h);
  s->lines = h.lineCount[0] + h.lineCount[1];
  s->journeyCount = h.keys;
  const size_t keysAt = sizeof h + s->lines * 12 + (s->lines % 2 == 1 && h.keys > 0 ? 4 : 0);
  size_t need = keysAt + h.keys * 8 + h.journeyBytes;
  if (std::memcmp(h.magic, MAGIC, sizeof MAGIC) != 0 || h.order != ORDER || need != s->mapped)
    return EILSEQ;
  for (int i = 0; i < 2; i++) {
    s->sizes[i] = h.sizes[i];
    s->sums[i] = h.sums[i];
    s->lineCount[i] = h.lineCount[i];
  }
  s->hashes = reinterpret_cast<const uint64_t*>(base + sizeof h);
  s->journeys = reinterpret_cast<const uint32_t*>(base + sizeof h + s->lines * 8);
  s->keys = reinterpret_cast<const uint64_t*>(base + keysAt);
  s->rides = base + keysAt + h.keys * 8;
  s->rideAt.assign(h.keys, 0);
  s->rideCount.assign(h.keys, TOO_LONG);
  s->amounts.assign(h.keys, 0);
  for (size_t at = 0; at < h.journeyBytes;) {
    uint64_t j = getVarint(s->rides, &at);
    if (j >= h.keys) return EILSEQ;
    s->rideCount[j] = s->rides[at++];
    s->amounts[j] = unzigzag(getVarint(s->rides, &at));
    s->rideAt[j] = static_cast<uint32_t>(at);
    at = skipRides(s->rides, at, s->rideCount[j]);
  }
  return 0;
}
