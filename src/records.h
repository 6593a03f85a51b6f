// The two record types of a run, their fixed tables and counts, and the
// console dumps that show a table between stages.
#ifndef FARE_SETTLE_RECORDS_H_
#define FARE_SETTLE_RECORDS_H_

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

// How many slots of the tap and ride tables are filled.
extern int tapCount;
extern int rideCount;

// False once a tap file stopped part-way through reading: the batch is not
// whole, so no ride of it may reach a ledger.
extern bool tapFilesWhole;

void printTaps(const TermInfo* infos);
void printRides(const RideInfo* t);

// Trace output on standard output: a text as it stands; a label, a signed
// decimal and an ending, written together with one call.
void putText(const char* s);
void putTrace(const char* label, long long value, const char* end);

// Flushes the trace and, if any of it could not be written, says so once on
// standard error ("standard output: No space left on device").
void finishTrace();

// Reports on standard error "name: " and the system's description of `error`.
void reportError(const char* name, int error);

#endif  // FARE_SETTLE_RECORDS_H_
