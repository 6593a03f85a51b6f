// The two full batches the benchmarks run on, as tap file texts: 105 lines
// each, so that the last 5 are dropped, with 100 taps in one journey in
// descending time order, or spread over 37 journeys.
#ifndef FARE_SETTLE_BENCH_BATCHES_H_
#define FARE_SETTLE_BENCH_BATCHES_H_

#include <cstdio>
#include <string>

struct TapFiles {
  std::string metro;  // the first 60 lines
  std::string bus;    // the other 45
};

inline TapFiles makeBatch(int journeys) {
  TapFiles files;
  for (int i = 0; i < 105; i++) {
    int minutes = 8 * 60 + 104 - i;  // descending time
    bool metro = i % 3 != 2;
    char line[64];
    std::snprintf(line, sizeof line, "%02d:%02d %s %s %d J%02d\n", minutes / 60, minutes % 60,
                  metro ? "METRO" : "BUS", i % 2 == 0 ? "IN" : "OUT", 100 + i * 7, i % journeys);
    (i < 60 ? files.metro : files.bus) += line;
  }
  return files;
}

#endif  // FARE_SETTLE_BENCH_BATCHES_H_
