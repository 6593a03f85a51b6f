// A day's notes: all kept, the tenth and later of one cause only counted on
// standard error, so that a full disk under a million rides says so in a
// screenful.
#include "notes.h"

#include <cstdio>
#include <cstring>

#include "records.h"

namespace {

DayNotes* collecting = nullptr;

// "FILE:N: cause; detail (batch B)" is a line's note of `cause`; any other
// report is a cause of its own.
std::string summaryOf(const std::string& line) {
  size_t colon = 0;
  while ((colon = line.find(':', colon)) != std::string::npos) {
    size_t digits = colon + 1;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') digits++;
    if (digits > colon + 1 && line.compare(digits, 2, ": ") == 0) {
      size_t end = line.find_first_of(";\n", digits + 2);
      size_t batch = line.find(" (batch ", digits + 2);
      if (batch < end) end = batch;
      return line.substr(0, colon) + ": lines: " + line.substr(digits + 2, end - digits - 2);
    }
    colon++;
  }
  return line.substr(0, line.find('\n'));
}

void collect(const char* line, size_t length) {
  std::string text(line, length);
  collecting->add(summaryOf(text), text);
}

}  // namespace

void DayNotes::add(const std::string& summary, const std::string& line) {
  text_ += line;
  count_++;
  if (++causes_[summary] <= SAID) (void)std::fwrite(line.data(), 1, line.size(), stderr);
}

void DayNotes::collectReports() {
  collecting = this;
  setReportSink(collect);
}

void DayNotes::finish(bool rerun) {
  for (const auto& [summary, count] : causes_) {
    if (count <= SAID) continue;
    const char* hint = rerun && summary.starts_with("rides not appended")
                           ? "; run the same command again to finish"
                           : "";
    std::fprintf(stderr, "%lld %s%s\n", count, summary.c_str(), hint);
  }
}
