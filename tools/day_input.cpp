// Reading a day: every line through the program's parser, journeys found
// by key in a hash table of their own, then packed whole into batches.
#include "day_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Journeys by key: open addressing over a power-of-two table of journey
// numbers + 1 (0 marks a free slot), grown at half full.
class JourneyIndex {
 public:
  JourneyIndex(BigVector<DayJourney>* journeys, size_t expected)
      : journeys_(journeys), slots_(slotsFor(expected)) {}

  uint32_t find(uint64_t key) {
    size_t mask = slots_.size() - 1;
    for (size_t i = slotOf(key);; i = (i + 1) & mask) {
      uint32_t s = slots_[i];
      if (s == 0) return add(key, i);
      if ((*journeys_)[s - 1].key == key) return s - 1;
    }
  }

 private:
  static size_t slotsFor(size_t journeys) {
    size_t n = 1 << 16;
    while (n < journeys * 2) n *= 2;
    return n;
  }

  size_t slotOf(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 17) & (slots_.size() - 1);
  }

  uint32_t add(uint64_t key, size_t slot) {
    journeys_->push_back({key});
    auto n = static_cast<uint32_t>(journeys_->size());
    slots_[slot] = n;
    if (size_t{n} * 2 > slots_.size()) grow();
    return n - 1;
  }

  void grow() {
    BigVector<uint32_t> old(slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (uint32_t s : old) {
      if (s == 0) continue;
      size_t i = slotOf((*journeys_)[s - 1].key);
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  BigVector<DayJourney>* journeys_;
  BigVector<uint32_t> slots_;
};

}  // namespace

uint64_t keyOf(const char* ti) {
  uint64_t key = 0;
  std::memcpy(&key, ti, std::strlen(ti));
  return key;
}

int readWholeFile(const char* path, DayBytes* bytes, FileId* id) {
  // Never opened in a way that waits (a FIFO with no writer), and only a
  // regular file is read: a device or a pipe has no day in it.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int error = S_ISREG(st.st_mode) ? errno : NOT_REGULAR_FILE;
    (void)close(fd);
    return error;
  }
  if (id != nullptr) *id = {st.st_dev, st.st_ino};
  // Read straight into the string, grown as the file turns out longer than it said.
  auto size = static_cast<size_t>(st.st_size);
  bytes->resize(size + 1);
  size_t filled = 0;
  for (;;) {
    if (filled == bytes->size()) bytes->resize(bytes->size() * 2);
    ssize_t n = read(fd, bytes->data() + filled, bytes->size() - filled);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      (void)close(fd);
      return error;
    }
    filled += static_cast<size_t>(n);
  }
  bytes->resize(filled);
  // A file still being written, or rewritten, is not a day to settle.
  struct stat after;
  int error = fstat(fd, &after) != 0 ? errno : 0;
  if (error == 0 &&
      (filled != size || after.st_size != st.st_size || after.st_mtim.tv_sec != st.st_mtim.tv_sec ||
       after.st_mtim.tv_nsec != st.st_mtim.tv_nsec))
    error = CHANGED_WHILE_READ;
  (void)close(fd);
  return error;
}

const char* describeRead(int error) {
  return error == CHANGED_WHILE_READ ? "changed while it was read" : describe(error);
}

std::string keyText(uint64_t key) {
  char text[9] = {};
  std::memcpy(text, &key, 8);
  return text;
}

void readDay(Day* day) {
  // About 25 bytes a line and 3.5 taps a journey on a real day: room made
  // once, rather than grown and copied.
  size_t bytes = day->sources[0].bytes.size() + day->sources[1].bytes.size();
  day->lines.reserve(bytes / 20);
  day->journeys.reserve(bytes / 20 / 3);
  JourneyIndex index(&day->journeys, bytes / 20 / 3);
  for (uint8_t s = 0; s < 2; s++) {
    const DayBytes& bytes = day->sources[s].bytes;
    size_t at = 0;
    uint64_t number = 0;
    while (at < bytes.size()) {
      const char* start = bytes.data() + at;
      // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, nothing is copied
      const void* lf = std::memchr(start, '\n', bytes.size() - at);
      size_t length = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start)
                                    : bytes.size() - at;
      number++;
      if (lf == nullptr) day->unended[s] = number;
      TermInfo tap;
      TapNotes notes;
      TapLine verdict = readTapLine(start, length, &tap, &notes);
      bool odd = verdict != TAP_STORED || !notes.timeWritten || !notes.modeKnown ||
                 !notes.directionKnown || !notes.amountWhole;
      if (odd && verdict != TAP_BLANK) {
        int64_t line = verdict == TAP_STORED ? static_cast<int64_t>(day->lines.size()) : -1;
        day->named.push_back({s, number, verdict, tap, notes, line});
      }
      if (verdict == TAP_STORED) {
        uint32_t j = index.find(keyOf(tap.ti));
        day->journeys[j].taps++;
        day->lines.push_back({at, number, j, static_cast<uint8_t>(length), s,
                              static_cast<uint8_t>(tap.tr != MODE_BUS)});
        day->tapsRead[s]++;
        day->tapsByMode[s][tap.tr == MODE_BUS ? 0 : 1]++;
      }
      at += length + 1;
    }
  }
}

void packDay(Day* day, int cap) {
  int batches = 0;
  int filled = cap;
  for (DayJourney& j : day->journeys) {
    if (j.taps > TAP_CAPACITY) continue;
    if (filled + j.taps > cap) {
      batches++;
      filled = 0;
    }
    j.batch = batches - 1;
    filled += j.taps;
  }
  day->batches = batches;
}

long long noteDay(const Day& day, bool withBatch) {
  long long named = 0;
  char where[32] = "";
  for (const NamedLine& n : day.named) {
    if (withBatch && n.line >= 0) {
      const DayJourney& j = day.journeys[day.lines[static_cast<size_t>(n.line)].journey];
      if (j.batch >= 0) (void)std::snprintf(where, sizeof where, " (batch %d)", j.batch + 1);
    }
    if (noteTapLine(day.sources[n.source].name, static_cast<long long>(n.number), n.verdict, n.tap,
                    n.notes, where))
      named++;
    where[0] = '\0';
  }
  for (const DayJourney& j : day.journeys) {
    if (j.batch >= 0) continue;
    reportLine("%s: %d taps; a run holds %d\n", keyText(j.key).c_str(), j.taps, TAP_CAPACITY);
    named++;
  }
  return named;
}

void linesByBatch(const Day& day, BigVector<uint32_t>* order, std::vector<size_t>* start,
                  std::vector<uint32_t>* tooLong) {
  start->assign(static_cast<size_t>(day.batches) + 1, 0);
  for (const DayLine& line : day.lines) {
    int b = day.journeys[line.journey].batch;
    if (b >= 0) (*start)[static_cast<size_t>(b) + 1]++;
  }
  for (size_t b = 1; b < start->size(); b++) (*start)[b] += (*start)[b - 1];
  order->resize(start->back());
  std::vector<size_t> next(start->begin(), start->end() - 1);
  for (size_t i = 0; i < day.lines.size(); i++) {
    int b = day.journeys[day.lines[i].journey].batch;
    if (b < 0)
      tooLong->push_back(static_cast<uint32_t>(i));
    else
      (*order)[next[static_cast<size_t>(b)]++] = static_cast<uint32_t>(i);
  }
}
