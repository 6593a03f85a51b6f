// What a run of fare-settle-day tells finance: the statement of the day
// (and of its amendments), statement.csv for import, and each amendment's
// report.
#ifndef FARE_SETTLE_TOOLS_DAY_STATEMENT_H_
#define FARE_SETTLE_TOOLS_DAY_STATEMENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "amendment.h"
#include "day_input.h"
#include "journal.h"
#include "notes.h"
#include "settling.h"

// Rides appended by this run, by earlier runs, and not at all.
struct Appended {
  long long now = 0, before = 0;
};

// What the statement says besides the day's own counts.
struct StatementFacts {
  std::string dir;  // absolute
  uint64_t sums[2] = {0, 0};
  const DayNotes* notes = nullptr;
  long long linesNamed = 0;
  Appended appended;
};

std::string statement(const Day& day, const DayBatches& batches, const DayTotals& totals,
                      const StatementFacts& facts);

// The money for import: a row per revision per company, each the lines
// that revision appended to that company's ledger and the sum of their fees.
std::string statementCsv(std::vector<Revision> revisions, const DayTotals& totals);

// Each revision's change to each company, and the totals as they now stand.
std::string revisionsText(const std::vector<Revision>& revisions);

std::string amendedStatement(const std::string& dir, const Day& day, const uint64_t* sums,
                             const Amendment& a, const std::vector<Revision>& revisions,
                             const Appended& appended, const DayNotes& notes);

// DIR/amendment-N.txt: what amendment N changed.
std::string amendmentReport(const std::string& dir, const Day& day, const uint64_t* sums,
                            const Amendment& a, int n);

#endif  // FARE_SETTLE_TOOLS_DAY_STATEMENT_H_
