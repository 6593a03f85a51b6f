// The notes of a day's run: every one kept for DIR/notes.txt, while
// standard error gives a cause said more than ten times as its first ten
// lines and a count.
#ifndef FARE_SETTLE_TOOLS_DAY_NOTES_H_
#define FARE_SETTLE_TOOLS_DAY_NOTES_H_

#include <map>
#include <string>

class DayNotes {
 public:
  static constexpr long long SAID = 10;  // lines of one cause said in full

  // A note `line` (with its line end) of a cause: `summary` says the cause
  // after a count ("rides not appended: File too large").
  void add(const std::string& summary, const std::string& line);

  // Takes every report of the program's own stages (reportLine) as a note
  // of this run, its cause read from the line.
  void collectReports();

  // Says the count of each cause past its first ten lines; with `rerun`,
  // rides not appended are said to be finished by a rerun.
  void finish(bool rerun);

  const std::string& text() const { return text_; }
  long long count() const { return count_; }
  // Each cause with how many notes it had, in the order of their summaries.
  const std::map<std::string, long long>& causes() const { return causes_; }

 private:
  std::string text_;
  long long count_ = 0;
  std::map<std::string, long long> causes_;
};

#endif  // FARE_SETTLE_TOOLS_DAY_NOTES_H_
