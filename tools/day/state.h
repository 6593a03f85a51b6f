// What an amendment needs of a settled day, kept in DIR as one file: every
// stored tap line's hash, journey and mode, in the day's order; every
// journey's key; and for each settled journey its taps' amounts and the
// rides appended for it. About 20 bytes a tap, less than the day files.
#ifndef FARE_SETTLE_TOOLS_DAY_STATE_H_
#define FARE_SETTLE_TOOLS_DAY_STATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "day_input.h"
#include "records.h"

constexpr uint32_t METRO_LINE = 0x80000000u;  // in a line's journey: the tap's mode is METRO
constexpr uint8_t TOO_LONG = 255;             // a journey's ride count: not settled

// A state written as it is made, without holding it in memory: the lines
// and keys (front) from one thread while the settled journeys are written
// from another; whole once finish() has flushed it and renamed it into place.
class StateWriter {
 public:
  ~StateWriter();
  int open(const std::string& path, uint64_t lines, uint64_t keys);
  // Every stored line's hash, its journey | METRO_LINE, every journey's key.
  void front(const Day& day);
  // The same, a piece at a time: every hash, then every journey, then the keys.
  void frontHash(uint64_t hash) { front_.put(&hash, sizeof hash); }
  void frontJourney(uint32_t journey) { front_.put(&journey, sizeof journey); }
  void frontKeys(const uint64_t* keys);
  // A settled journey: its taps' amounts and its rides' encoding (encodeRide).
  void journey(uint32_t j, int64_t amount, int rides, const uint8_t* encoded, size_t length);
  // Settled journeys as encodeJourney made them.
  void journeys(const DayBytes& encoded);
  // The day files' sizes and checksums, metro's first.
  int finish(const uint64_t* sizes, const uint64_t* sums, const uint64_t* lineCount);

 private:
  // A run of bytes written from `at` on through a buffer of its own.
  struct Stream {
    int fd = -1;
    long long at = 0;
    std::vector<char> buffer;
    size_t used = 0;
    int error = 0;
    void put(const void* bytes, size_t length);
    void write(const char* bytes, size_t length);
    void flush();
  };
  int fd_ = -1;
  std::string path_;
  uint64_t lines_ = 0, keys_ = 0;
  Stream front_, journeys_;
  uint64_t journeyBytes_ = 0;
};

// A state read back, mapped from its file.
struct DayState {
  uint64_t sizes[2] = {0, 0}, sums[2] = {0, 0}, lineCount[2] = {0, 0};
  const uint64_t* hashes = nullptr;    // each stored line's
  const uint32_t* journeys = nullptr;  // each stored line's journey | METRO_LINE
  const uint64_t* keys = nullptr;
  size_t lines = 0, journeyCount = 0;
  const uint8_t* rides = nullptr;  // the journeys section
  BigVector<uint32_t> rideAt;      // where each journey's rides begin there
  BigVector<uint8_t> rideCount;    // how many, or TOO_LONG
  BigVector<int64_t> amounts;
  void* map = nullptr;
  size_t mapped = 0;
  ~DayState();
};

// 0, or an errno (EILSEQ: not a state this build reads).
int readState(const std::string& path, DayState* state);

uint64_t lineHash(const char* bytes, size_t length);

// Encodes a ride at `out` (room for RIDE_ENCODING bytes); returns its
// length. Decodes the one at *at (advanced past it) into its ledger (0 bus,
// 1 metro), ledger line and fee, negated when `reversed`.
constexpr size_t RIDE_ENCODING = 32;
size_t encodeRide(const RideInfo& ride, uint8_t* out);
void decodeRide(const uint8_t* rides, size_t* at, bool reversed, int* ledger, std::string* line,
                long long* fee);
// A settled journey as the state keeps it, appended to *out.
void encodeJourney(uint32_t j, int64_t amount, int rides, const uint8_t* encoded, size_t length,
                   DayBytes* out);

// Where `count` encoded rides from `at` end.
size_t skipRides(const uint8_t* rides, size_t at, int count);

#endif  // FARE_SETTLE_TOOLS_DAY_STATE_H_
