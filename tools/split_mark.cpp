// The finished split's mark: written and read back as plain labelled lines.
#include "split_mark.h"

#include <cstdlib>
#include <iterator>

namespace {

constexpr char FIRST_LINE[] = "fare-settle-split finished\n";

using Count = long long SplitCounts::*;

struct Field {
  const char* label;
  Count count;
};

constexpr Field FIELDS[] = {
    {"batches", &SplitCounts::batches},
    {"taps", &SplitCounts::taps},
    {"lines named", &SplitCounts::linesNamed},
    {"lines refused", &SplitCounts::linesRefused},
    {"journeys too long", &SplitCounts::journeysTooLong},
    {"taps too long", &SplitCounts::tapsTooLong},
};

}  // namespace

std::string splitMarkText(const SplitCounts& counts) {
  std::string text = FIRST_LINE;
  for (const Field& f : FIELDS)
    text += std::string(f.label) + " " + std::to_string(counts.*f.count) + "\n";
  return text;
}

bool parseSplitMark(const std::string& text, SplitCounts* counts) {
  if (text.compare(0, sizeof FIRST_LINE - 1, FIRST_LINE) != 0) return false;
  SplitCounts read;
  size_t at = sizeof FIRST_LINE - 1;
  for (const Field& f : FIELDS) {
    std::string label = std::string(f.label) + " ";
    if (text.compare(at, label.size(), label) != 0) return false;
    at += label.size();
    size_t end = text.find('\n', at);
    if (end == std::string::npos || end == at || text.find_first_not_of("0123456789", at) != end ||
        end - at > 18)
      return false;
    read.*f.count = std::strtoll(text.c_str() + at, nullptr, 10);
    at = end + 1;
  }
  if (at != text.size()) return false;
  *counts = read;
  return true;
}
