// The mark a finished split leaves in its tree, written last: what it
// wrote and what it set apart. A tree without it is not to be settled.
#ifndef FARE_SETTLE_TOOLS_SPLIT_MARK_H_
#define FARE_SETTLE_TOOLS_SPLIT_MARK_H_

#include <string>

constexpr char SPLIT_MARK[] = "split-finished";

struct SplitCounts {
  long long batches = 0;
  long long taps = 0;             // in the batches
  long long linesNamed = 0;       // on the split's standard error
  long long linesRefused = 0;     // in no batch
  long long journeysTooLong = 0;  // set apart in too-long/
  long long tapsTooLong = 0;
};

// The mark's text: a first line, then one "label N" line per count.
std::string splitMarkText(const SplitCounts& counts);

// Accepts the text splitMarkText writes, every count present, and nothing
// else; fills *counts only then.
bool parseSplitMark(const std::string& text, SplitCounts* counts);

#endif  // FARE_SETTLE_TOOLS_SPLIT_MARK_H_
