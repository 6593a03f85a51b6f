// Reading a day: every line through the program's parser, journeys found
// by key in a hash table of their own, then packed whole into batches.
#include "day_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "parallel.h"

namespace {

// Journeys by key: open addressing over a power-of-two table, grown at half
// full. A slot holds a journey's number + 1 (0 marks a free slot) beside
// the high half of its key's hash, so that a slot of another key is passed
// by without reading that journey.
class JourneyIndex {
 public:
  JourneyIndex(BigVector<DayJourney>* journeys, size_t expected)
      : journeys_(journeys), slots_(slotsFor(expected)) {}

  // Asks for the slot of a key about to be found, so that finding keys
  // does not wait on memory for every one.
  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

  // The journey of `key`, whose keyHash() is `hash`.
  uint32_t find(uint64_t key, uint64_t hash) {
    const uint64_t tag = hash & ~uint64_t{0xFFFFFFFF};
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      uint64_t s = slots_[i];
      if (s == 0) return add(key, tag, i);
      auto n = static_cast<uint32_t>(s);
      if ((s & ~uint64_t{0xFFFFFFFF}) == tag && (*journeys_)[n - 1].key == key) return n - 1;
    }
  }

 private:
  static size_t slotsFor(size_t journeys) {
    size_t n = 1 << 16;
    while (n < journeys * 2) n *= 2;
    return n;
  }

  uint32_t add(uint64_t key, uint64_t tag, size_t slot) {
    journeys_->push_back({key});
    auto n = static_cast<uint32_t>(journeys_->size());
    slots_[slot] = tag | n;
    if (size_t{n} * 2 > slots_.size()) grow();
    return n - 1;
  }

  void grow() {
    Slots old(slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (uint64_t s : old) {
      if (s == 0) continue;
      size_t i = keyHash((*journeys_)[static_cast<uint32_t>(s) - 1].key) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  BigVector<DayJourney>* journeys_;
  using Slots = std::vector<uint64_t, HugeAllocator<uint64_t>>;
  Slots slots_;
};

}  // namespace

uint64_t keyHash(uint64_t key) {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdULL;
  key ^= key >> 33;
  key *= 0xc4ceb9fe1a85ec53ULL;
  return key ^ (key >> 33);
}

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

namespace {

// Whole lines of one source, read by one thread: bytes [begin, end), their
// numbers from firstNumber + 1, their stored taps written from firstSlot.
struct Piece {
  uint8_t source = 0;
  size_t begin = 0, end = 0;
  uint64_t lines = 0, firstNumber = 0;
  size_t firstSlot = 0, stored = 0;
  std::vector<NamedLine> named;  // `line` counted from firstSlot
  long long tapsByMode[2] = {0, 0};
  uint64_t unended = 0;
};

// Just past the first line end at or after `from`, or the end of `bytes`.
size_t lineEndFrom(const DayBytes& bytes, size_t from) {
  if (from >= bytes.size()) return bytes.size();
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, nothing is copied
  const void* lf = std::memchr(bytes.data() + from, '\n', bytes.size() - from);
  return lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - bytes.data()) + 1
                       : bytes.size();
}

// Each source cut into `n` pieces of about equal size, each ending just
// after a line end or at the end of its source.
std::vector<Piece> cut(const Day& day, int n) {
  std::vector<Piece> pieces;
  for (uint8_t s = 0; s < 2; s++) {
    const DayBytes& bytes = day.sources[s].bytes;
    size_t at = 0;
    for (int k = 1; k <= n; k++) {
      const size_t aim = bytes.size() / static_cast<size_t>(n) * static_cast<size_t>(k);
      const size_t end = k == n ? bytes.size() : lineEndFrom(bytes, std::max(at, aim));
      Piece p;
      p.source = s;
      p.begin = at;
      p.end = end;
      pieces.push_back(std::move(p));
      at = end;
    }
  }
  return pieces;
}

void countLines(const Day& day, Piece* p) {
  const char* bytes = day.sources[p->source].bytes.data();
  const char* end = bytes + p->end;
  for (const char* at = bytes + p->begin; at < end; p->lines++) {
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, nothing is copied
    const void* lf = std::memchr(at, '\n', static_cast<size_t>(end - at));
    at = lf != nullptr ? static_cast<const char*>(lf) + 1 : end;
  }
}

// Parses a piece's lines: its stored taps to lines[0..] with their keys
// beside them, its odd lines kept to be named. Counted in locals, as the
// pieces of other threads lie beside this one in memory.
void readPiece(const Day& day, Piece* p, DayLine* lines, uint64_t* keys) {
  const uint8_t source = p->source;
  const char* bytes = day.sources[source].bytes.data();
  const size_t end = p->end;
  size_t at = p->begin;
  size_t stored = 0;
  uint64_t number = p->firstNumber;
  long long buses = 0;
  while (at < end) {
    const char* start = bytes + at;
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a search, nothing is copied
    const void* lf = std::memchr(start, '\n', end - at);
    size_t length =
        lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) : end - at;
    number++;
    if (lf == nullptr) p->unended = number;
    TermInfo tap;
    TapNotes notes;
    TapLine verdict = readTapLine(start, length, &tap, &notes);
    bool odd = verdict != TAP_STORED || !notes.timeWritten || !notes.modeKnown ||
               !notes.directionKnown || !notes.amountWhole;
    if (odd && verdict != TAP_BLANK) {
      int64_t line = verdict == TAP_STORED ? static_cast<int64_t>(stored) : -1;
      p->named.push_back({source, number, verdict, tap, notes, line});
    }
    if (verdict == TAP_STORED) {
      // The time is the line's first field, after any blanks.
      auto timeAt = static_cast<uint8_t>(std::strspn(start, " "));
      auto timeLength = static_cast<uint8_t>(std::strlen(tap.lt));
      keys[stored] = keyOf(tap.ti);
      lines[stored++] = {at,
                         number,
                         0,
                         tap.bal,
                         static_cast<uint8_t>(length),
                         source,
                         static_cast<uint8_t>(tap.tr != MODE_BUS),
                         timeAt,
                         timeLength};
      buses += tap.tr == MODE_BUS;
    }
    at += length + 1;
  }
  p->stored = stored;
  p->tapsByMode[0] = buses;
  p->tapsByMode[1] = static_cast<long long>(stored) - buses;
}

// Which of `parts` threads numbers a key's journey, from its keyHash().
size_t partOf(uint64_t hash, size_t parts) {
  return static_cast<size_t>(hash >> 56) % parts;
}

// Journeys numbered in the order their keys first appear. Each thread finds
// the journeys of its part of the keys, in that order, with the line each
// first appears on; the parts are merged by those lines, and each line's
// journey renumbered.
void numberJourneys(Day* day, const uint64_t* keys, int threads) {
  const size_t parts = static_cast<size_t>(std::max(threads, 1));
  const size_t lines = day->lines.size();
  std::vector<BigVector<DayJourney>> found(parts);
  std::vector<BigVector<uint32_t>> firsts(parts);
  onThreads(threads, parts, [&](size_t t) {
    // Not in found[] until the end: other threads' lie beside it.
    BigVector<DayJourney> mine;
    BigVector<uint32_t> first;
    mine.reserve(lines / 3 / parts);
    JourneyIndex index(&mine, lines / 3 / parts);
    constexpr size_t AHEAD = 16;
    for (size_t i = 0; i < lines; i++) {
      if (i + AHEAD < lines) index.prefetch(keyHash(keys[i + AHEAD]));
      const uint64_t hash = keyHash(keys[i]);
      if (partOf(hash, parts) != t) continue;
      uint32_t j = index.find(keys[i], hash);
      if (j == first.size()) first.push_back(static_cast<uint32_t>(i));
      mine[j].taps++;
      day->lines[i].journey = j;
    }
    found[t] = std::move(mine);
    firsts[t] = std::move(first);
  });
  if (parts == 1) {
    day->journeys = std::move(found[0]);
    return;
  }
  size_t total = 0;
  for (const BigVector<DayJourney>& f : found) total += f.size();
  day->journeys.reserve(total);
  std::vector<BigVector<uint32_t>> number(parts);
  std::vector<size_t> next(parts, 0);
  for (size_t t = 0; t < parts; t++) number[t].resize(found[t].size());
  for (;;) {
    size_t t = parts;  // the part whose next journey first appears earliest
    for (size_t u = 0; u < parts; u++)
      if (next[u] < found[u].size() && (t == parts || firsts[u][next[u]] < firsts[t][next[t]]))
        t = u;
    if (t == parts) break;
    number[t][next[t]] = static_cast<uint32_t>(day->journeys.size());
    day->journeys.push_back(found[t][next[t]++]);
  }
  const size_t ranges = parts * 4;
  onThreads(threads, ranges, [&](size_t r) {
    for (size_t i = lines * r / ranges; i < lines * (r + 1) / ranges; i++) {
      uint32_t& j = day->lines[i].journey;
      j = number[partOf(keyHash(keys[i]), parts)][j];
    }
  });
}

}  // namespace

void readDay(Day* day, int threads) {
  std::vector<Piece> pieces = cut(*day, std::max(threads, 1));
  onThreads(threads, pieces.size(), [&](size_t i) { countLines(*day, &pieces[i]); });
  size_t slots = 0;
  uint64_t numbers[2] = {0, 0};
  for (Piece& p : pieces) {
    p.firstNumber = numbers[p.source];
    numbers[p.source] += p.lines;
    p.firstSlot = slots;
    slots += p.lines;
  }
  day->lines.resize(slots);
  std::vector<uint64_t, RawAllocator<uint64_t>> keys(slots);
  onThreads(threads, pieces.size(), [&](size_t i) {
    readPiece(*day, &pieces[i], day->lines.data() + pieces[i].firstSlot,
              keys.data() + pieces[i].firstSlot);
  });
  // The pieces' taps closed up, in the day's order.
  size_t stored = 0;
  for (Piece& p : pieces) {
    if (stored != p.firstSlot) {
      std::memmove(day->lines.data() + stored, day->lines.data() + p.firstSlot,
                   p.stored * sizeof(DayLine));
      std::memmove(keys.data() + stored, keys.data() + p.firstSlot, p.stored * sizeof(uint64_t));
    }
    for (NamedLine& n : p.named) {
      if (n.line >= 0) n.line += static_cast<int64_t>(stored);
      day->named.push_back(n);
    }
    stored += p.stored;
    day->tapsRead[p.source] += static_cast<long long>(p.stored);
    for (int m = 0; m < 2; m++) day->tapsByMode[p.source][m] += p.tapsByMode[m];
    if (p.unended > 0) day->unended[p.source] = p.unended;
  }
  day->lines.resize(stored);
  numberJourneys(day, keys.data(), threads);
}

void tapOf(const Day& day, const DayLine& line, TermInfo* tap) {
  const char* bytes = day.sources[line.source].bytes.data() + line.offset;
  std::memcpy(tap->lt, bytes + line.timeAt, line.timeLength);
  tap->lt[line.timeLength] = '\0';
  tap->tr = line.metro != 0 ? MODE_METRO : MODE_BUS;
  tap->io = 0;
  tap->bal = line.amount;
  const uint64_t key = day.journeys[line.journey].key;
  std::memcpy(tap->ti, &key, sizeof key);
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
                  std::vector<uint32_t>* tooLong, int threads) {
  // The lines cut into ranges, each counted, then placed, by one thread:
  // each batch's lines from a range follow those from the ranges before.
  const size_t ranges = static_cast<size_t>(std::max(threads, 1));
  const size_t lines = day.lines.size();
  const auto batches = static_cast<size_t>(day.batches);
  auto batchOf = [&](size_t i) { return day.journeys[day.lines[i].journey].batch; };
  std::vector<std::vector<size_t>> at(ranges);  // a range's count, then its next place, by batch
  std::vector<std::vector<uint32_t>> longs(ranges);
  onThreads(threads, ranges, [&](size_t r) {
    std::vector<size_t> count(batches, 0);
    for (size_t i = lines * r / ranges; i < lines * (r + 1) / ranges; i++)
      if (int b = batchOf(i); b >= 0) count[static_cast<size_t>(b)]++;
    at[r] = std::move(count);
  });
  start->assign(batches + 1, 0);
  for (size_t b = 0; b < batches; b++) {
    size_t next = (*start)[b];
    for (size_t r = 0; r < ranges; r++) {
      size_t n = at[r][b];
      at[r][b] = next;
      next += n;
    }
    (*start)[b + 1] = next;
  }
  order->resize(start->back());
  onThreads(threads, ranges, [&](size_t r) {
    std::vector<size_t>& next = at[r];
    std::vector<uint32_t> mine;
    for (size_t i = lines * r / ranges; i < lines * (r + 1) / ranges; i++) {
      int b = batchOf(i);
      if (b < 0)
        mine.push_back(static_cast<uint32_t>(i));
      else
        (*order)[next[static_cast<size_t>(b)]++] = static_cast<uint32_t>(i);
    }
    longs[r] = std::move(mine);
  });
  for (const std::vector<uint32_t>& l : longs) tooLong->insert(tooLong->end(), l.begin(), l.end());
}
