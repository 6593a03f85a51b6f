// The two record types of a run, their fixed tables and counts, and the
// console dumps that show a table between stages.
#ifndef FARE_SETTLE_RECORDS_H_
#define FARE_SETTLE_RECORDS_H_

#include <cstddef>

constexpr int TAP_CAPACITY = 100;
constexpr int RIDE_CAPACITY = 100;

// Transport modes, as held in `tr`.
constexpr int MODE_BUS = 0;
constexpr int MODE_METRO = 1;

// One tap: one parsed line of a tap file.
struct TermInfo {
  char lt[20];  // time of day, "08:10"
  int tr;       // transport mode
  int io;       // direction: 0 = IN, 1 = OUT
  int bal;      // the tap's amount
  char ti[8];   // journey key
};

// One ride: one tap, or two consecutive taps of a journey.
struct RideInfo {
  char lt[20];  // time of the ride's first tap
  int tr;       // mode of the ride's first tap
  int fee;      // the ride's fee
  char ti[8];   // journey key
};

// Orders two journey keys byte by byte as unsigned bytes, as strcmp does,
// but inline and within the 8 bytes a key has: every stage compares keys.
inline int compareKeys(const char* a, const char* b) {
  for (int i = 0; i < 8; i++) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) break;
  }
  return 0;
}

// How many slots of the tap and ride tables are filled: for the process,
// or, in the build the day command links, for each thread, so that several
// threads settle batches at once.
#ifdef FARE_SETTLE_COUNTS_PER_THREAD
#define FARE_SETTLE_COUNT thread_local
#else
#define FARE_SETTLE_COUNT
#endif
extern FARE_SETTLE_COUNT int tapCount;
extern FARE_SETTLE_COUNT int rideCount;

// Whether the stages write their trace (on unless turned off). A day
// settled in one process turns it off: nobody reads a day's traces, and
// writing them would cost more than the settlement.
void setTracing(bool on);

void printTaps(const TermInfo* infos);
void printRides(const RideInfo* t);

// Trace output on standard output: a text as it stands; a label, a signed
// decimal and an ending, written together with one call.
void putText(const char* s);
void putTrace(const char* label, long long value, const char* end);

// Flushes the trace and, if any of it could not be written, says so once on
// standard error ("standard output: No space left on device").
void finishTrace();

#if defined(__MINGW32__)  // C++ on mingw-w64 formats with its own, C99 printf
#define FARE_SETTLE_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define FARE_SETTLE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define FARE_SETTLE_PRINTF(f, a)
#endif

// Writes one printf-style report on standard error with a single write, so
// that reports of runs sharing a log never interleave within a line. Every
// report of the program goes through here.
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, its arguments checked by the attribute
void reportLine(const char* format, ...) FARE_SETTLE_PRINTF(1, 2);

// A tool that keeps the reports takes them whole here instead of standard
// error: one report, its line end included.
using ReportSink = void (*)(const char* line, size_t length);
void setReportSink(ReportSink sink);

// The description of an error number, or of the failures that have none
// (NOT_REGULAR_FILE, STOPPED in platform.h).
const char* describe(int error);

#endif  // FARE_SETTLE_RECORDS_H_
