// A day's two tap files read with the program's own parser, and its
// journeys packed whole into batches: the one reading of a day that
// fare-settle-split and fare-settle-day share, so that batch N is the same.
#ifndef FARE_SETTLE_TOOLS_DAY_INPUT_H_
#define FARE_SETTLE_TOOLS_DAY_INPUT_H_

#include <sys/mman.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "intake.h"
#include "platform.h"

// The allocator of a day's large arrays: blocks of 2 MiB and more are
// mapped on their own, so that freeing them gives the memory back at once.
// Huge pages are not asked for: on a host short of free huge pages the
// kernel compacts memory for them, and a day's run then took seconds more.
template <class T>
struct BigAllocator {
  using value_type = T;
  static constexpr size_t BIG = size_t{1} << 21;
  BigAllocator() = default;
  template <class U>
  explicit BigAllocator(const BigAllocator<U>&) {}
  T* allocate(size_t n) {
    size_t bytes = n * sizeof(T);
    if (bytes < BIG) return static_cast<T*>(::operator new(bytes));
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    size_t bytes = n * sizeof(T);
    if (bytes < BIG)
      ::operator delete(p);
    else
      (void)munmap(p, bytes);
  }
  template <class U>
  bool operator==(const BigAllocator<U>&) const {
    return true;
  }
};

// The same, but an array grown by resize() is left as it was rather than
// cleared: the threads that fill it are the ones that touch its pages.
template <class T>
struct RawAllocator : BigAllocator<T> {
  template <class U>
  struct rebind {
    using other = RawAllocator<U>;
  };
  RawAllocator() = default;
  template <class U>
  explicit RawAllocator(const RawAllocator<U>&) {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
};

// For a table read at random, where a miss of the address cache on every
// read would cost more than the clearing of a few huge pages: asked for
// huge pages.
template <class T>
struct HugeAllocator : BigAllocator<T> {
  template <class U>
  struct rebind {
    using other = HugeAllocator<U>;
  };
  HugeAllocator() = default;
  template <class U>
  explicit HugeAllocator(const HugeAllocator<U>&) {}
  T* allocate(size_t n) {
    T* p = BigAllocator<T>::allocate(n);
#ifdef MADV_HUGEPAGE
    if (n * sizeof(T) >= BigAllocator<T>::BIG) (void)madvise(p, n * sizeof(T), MADV_HUGEPAGE);
#endif
    return p;
  }
};

template <class T>
using BigVector = std::vector<T, BigAllocator<T>>;
using DayBytes = std::basic_string<char, std::char_traits<char>, BigAllocator<char>>;

struct DaySource {
  const char* name;   // as given on the command line, for the notes
  const char* batch;  // the file it becomes in a batch
  DayBytes bytes;
  uint64_t sum = 0;  // the journal's checksum of bytes, where the day command read it
};

// A stored tap line of a source, with what settling needs of its tap, so
// that a line is parsed once.
struct DayLine {
  uint64_t offset;  // in its source's bytes
  uint64_t number;  // its line number there
  uint32_t journey;
  int32_t amount;      // the tap's amount
  uint8_t length;      // without its LF: a stored line has at most 48 characters and a CR
  uint8_t source;      // 0 metro, 1 bus
  uint8_t metro;       // the tap's mode is METRO
  uint8_t timeAt;      // where its time begins in the line
  uint8_t timeLength;  // at most 19
};

static_assert(sizeof(DayLine) == 32, "a day holds millions of lines: keep them compact");

using DayLines = std::vector<DayLine, RawAllocator<DayLine>>;

struct DayJourney {
  uint64_t key;  // the journey key's 8 bytes, NUL-padded
  int taps = 0;
  int batch = -1;  // -1: longer than a run, not settled
};

// A line named on standard error: refused, or stored with a field taken
// otherwise than written.
struct NamedLine {
  uint8_t source;
  uint64_t number;
  TapLine verdict;
  TermInfo tap;
  TapNotes notes;
  int64_t line;  // its index in Day::lines when stored, else -1
};

struct Day {
  DaySource sources[2] = {{"", "metro.txt", {}, 0}, {"", "bus.txt", {}, 0}};
  DayLines lines;                  // stored taps: metro's, then bus's, each in line order
  BigVector<DayJourney> journeys;  // in the order their keys first appear
  std::vector<NamedLine> named;
  long long tapsRead[2] = {0, 0};
  long long tapsByMode[2][2] = {{0, 0}, {0, 0}};  // each source's stored taps: BUS, METRO
  uint64_t unended[2] = {0, 0};  // the number of a last line without a line end, if any
  int batches = 0;
};

// Which file a day file is, to tell one given twice.
struct FileId {
  unsigned long long device = 0, inode = 0;
  bool operator==(const FileId&) const = default;
};

constexpr int CHANGED_WHILE_READ = -3;  // its size or time changed while it was read

// Reads a whole regular file into *bytes, and sets *id when given; returns
// 0, NOT_REGULAR_FILE, CHANGED_WHILE_READ or the errno of the failure.
int readWholeFile(const char* path, DayBytes* bytes, FileId* id = nullptr);

// What a failure of readWholeFile says.
const char* describeRead(int error);

// Reads every line of both sources, in order: stored taps go to day->lines,
// keyed to their journey; named lines are kept for noteDay. Pieces of the
// files are parsed on up to `threads` threads; the day is the same for any.
void readDay(Day* day, int threads = 1);

// The tap a stored line holds, as the program's parser read it, without
// parsing it again: its time, mode, amount and key (its direction settles
// nothing and reads as IN).
void tapOf(const Day& day, const DayLine& line, TermInfo* tap);

// Packs whole journeys into batches of at most `cap` taps, in the order
// their keys first appear (a journey of more than `cap` taps that a run
// still holds gets a batch of its own); sets day->batches.
void packDay(Day* day, int cap);

// Names on standard error every named line, in the day's order, then each
// journey longer than a run ("KEY: 130 taps; a run holds 100"). With
// `withBatch`, a stored line also says its batch. Returns the lines named.
long long noteDay(const Day& day, bool withBatch);

// A key's bits mixed into every bit of the result, for hash tables: keys
// of a day differ in a character or two, anywhere in their 8 bytes.
uint64_t keyHash(uint64_t key);

// The journey key as text, and as the 8 bytes a day keys journeys by.
std::string keyText(uint64_t key);
uint64_t keyOf(const char* ti);

// The stored lines of each batch in the day's order: the indices in
// order[start[b] .. start[b + 1]) for batch b (from 0); those of journeys
// too long for a run in *tooLong. The same on any number of threads.
void linesByBatch(const Day& day, BigVector<uint32_t>* order, std::vector<size_t>* start,
                  std::vector<uint32_t>* tooLong, int threads = 1);

#endif  // FARE_SETTLE_TOOLS_DAY_INPUT_H_
