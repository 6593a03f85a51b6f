// The statement, statement.csv and the amendments' reports.
#include "statement.h"

#include <cstdio>
#include <ctime>

#include "run.h"

namespace {

struct TooLong {
  long long journeys = 0, taps = 0, amounts = 0;
};

TooLong tooLongOf(const Day& day, const DayBatches& batches) {
  TooLong t;
  for (const DayJourney& j : day.journeys) t.journeys += j.batch < 0;
  for (uint32_t i : batches.tooLong) {
    t.taps++;
    t.amounts += day.lines[i].amount;
  }
  return t;
}

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc = {};
  char text[32] = "";
  if (gmtime_r(&now, &utc) != nullptr)
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

std::string hex(uint64_t v) {
  char text[17];
  (void)std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// A count or sum, with its sign when it is an amendment's change.
std::string signedText(long long v, int revision) {
  char text[24];
  (void)std::snprintf(text, sizeof text, revision > 0 ? "%+lld" : "%lld", v);
  return text;
}

// "day file NAME: SIZE bytes, checksum SUM", and its taps by mode when given.
std::string dayFileLine(const DaySource& file, uint64_t sum, const long long* taps) {
  std::string s = std::string("day file ") + file.name + ": " + std::to_string(file.bytes.size()) +
                  " bytes, checksum " + hex(sum);
  if (taps != nullptr)
    s += ", taps " + std::to_string(taps[0] + taps[1]) + " (METRO " + std::to_string(taps[1]) +
         ", BUS " + std::to_string(taps[0]) + ")";
  return s + "\n";
}

// Each cause of a named line with its count, indented; *named gets their sum.
std::string causesOf(const DayNotes& notes, long long* named) {
  std::string s;
  *named = 0;
  for (const auto& [cause, count] : notes.causes()) {
    if (cause.starts_with("rides ")) continue;
    s += "  " + std::to_string(count) + " " + cause + "\n";
    *named += count;
  }
  return s;
}

}  // namespace

std::string statement(const Day& day, const DayBatches& batches, const DayTotals& totals,
                      const StatementFacts& facts) {
  TooLong t = tooLongOf(day, batches);
  long long rides = totals.rides[0] + totals.rides[1];
  long long out = totals.money[0] + totals.money[1];
  std::string s = "statement of the day in " + facts.dir + "\n";
  s += std::string(ME) + " " + FARE_SETTLE_VERSION + ", run at " + utcNow() + " UTC\n";
  for (int f = 0; f < 2; f++) s += dayFileLine(day.sources[f], facts.sums[f], day.tapsByMode[f]);
  for (int f = 0; f < 2; f++)
    s += std::string("taps read from ") + day.sources[f].name + ": " +
         std::to_string(day.tapsRead[f]) + "\n";
  long long named = 0;
  const std::string causes = causesOf(*facts.notes, &named);
  s += "lines named: " + std::to_string(facts.linesNamed) + "\n" + causes;
  s += "taps settled: " + std::to_string(batches.order.size()) + "\n";
  s += "journeys settled: " +
       std::to_string(static_cast<long long>(day.journeys.size()) - t.journeys) + "\n";
  s += "journeys too long: " + std::to_string(t.journeys) + " (" + std::to_string(t.taps) +
       " taps, amounts " + std::to_string(t.amounts) + ", not settled)\n";
  s += "batches: " + std::to_string(day.batches) + "\n";
  s += "bus company: " + std::to_string(totals.rides[0]) + " rides, money " +
       std::to_string(totals.money[0]) + "\n";
  s += "metro company: " + std::to_string(totals.rides[1]) + " rides, money " +
       std::to_string(totals.money[1]) + "\n";
  s += "money in: " + std::to_string(totals.moneyIn) + "\n";
  s += "money out: " + std::to_string(out) + "\n";
  s += "rounding difference: " + std::to_string(out - totals.moneyIn) + "\n";
  std::string where;
  const Appended& a = facts.appended;
  long long missing = rides - a.now - a.before;
  if (a.before > 0) where = std::to_string(a.before) + " appended before";
  if (missing > 0) where += (where.empty() ? "" : ", ") + std::to_string(missing) + " not appended";
  s += "rides appended by this run: " + std::to_string(a.now) + " of " + std::to_string(rides) +
       (where.empty() ? "" : " (" + where + ")") + "\n";
  return s;
}

std::string statementCsv(std::vector<Revision> revisions, const DayTotals& totals) {
  if (revisions.empty())  // the day not finished: what it will append
    revisions.push_back({0,
                         -1,
                         {0, 0},
                         {0, 0},
                         {totals.rides[0], totals.rides[1]},
                         {totals.money[0], totals.money[1]},
                         totals.moneyIn});
  std::string csv = "revision,company,rides,money\n";
  const char* const companies[2] = {"bus", "metro"};
  for (const Revision& r : revisions)
    for (int l = 0; l < 2; l++)
      csv += std::to_string(r.number) + "," + companies[l] + "," + std::to_string(r.rides[l]) +
             "," + std::to_string(r.money[l]) + "\n";
  return csv;
}

std::string revisionsText(const std::vector<Revision>& revisions) {
  std::string s;
  long long rides[2] = {0, 0}, money[2] = {0, 0};
  const char* const companies[2] = {"bus company", "metro company"};
  for (const Revision& r : revisions) {
    s += r.number == 0 ? "the day:" : "amendment " + std::to_string(r.number) + ":";
    for (int l = 0; l < 2; l++) {
      s += std::string(l == 0 ? " " : "; ") + companies[l] + " " +
           signedText(r.rides[l], r.number) + " rides, money " + signedText(r.money[l], r.number);
      rides[l] += r.rides[l];
      money[l] += r.money[l];
    }
    s += "\n";
  }
  for (int l = 0; l < 2; l++)
    s += std::string(companies[l]) + " as it now stands: " + std::to_string(rides[l]) +
         " rides, money " + std::to_string(money[l]) + "\n";
  return s;
}

std::string amendedStatement(const std::string& dir, const Day& day, const uint64_t* sums,
                             const Amendment& a, const std::vector<Revision>& revisions,
                             const Appended& appended, const DayNotes& notes) {
  std::string s = "statement of the day in " + dir + ", amended\n";
  s += std::string(ME) + " " + FARE_SETTLE_VERSION + ", run at " + utcNow() + " UTC\n";
  for (int f = 0; f < 2; f++) s += dayFileLine(day.sources[f], sums[f], a.taps[f]);
  // Only the lines the amendment read again: the others were named by the day's run.
  long long named = 0;
  const std::string causes = causesOf(notes, &named);
  s += "lines named by this amendment: " + std::to_string(named) + "\n" + causes;
  s += revisionsText(revisions);
  long long out = 0;
  for (const Revision& r : revisions) out += r.money[0] + r.money[1];
  s += "money in: " + std::to_string(a.moneyIn) + "\n";
  s += "money out: " + std::to_string(out) + "\n";
  s += "rounding difference: " + std::to_string(out - a.moneyIn) + "\n";
  s += "journeys changed by amendment " + std::to_string(revisions.back().number) + ": " +
       std::to_string(a.changed.size()) + " (" + std::to_string(a.tooLong) + " now too long)\n";
  long long rides = a.rides[0] + a.rides[1];
  s += "rides appended by this run: " + std::to_string(appended.now) + " of " +
       std::to_string(rides) +
       (appended.before > 0 ? " (" + std::to_string(appended.before) + " appended before)" : "") +
       "\n";
  return s;
}

std::string amendmentReport(const std::string& dir, const Day& day, const uint64_t* sums,
                            const Amendment& a, int n) {
  std::string s = "amendment " + std::to_string(n) + " of the day in " + dir + "\n";
  for (int f = 0; f < 2; f++) s += dayFileLine(day.sources[f], sums[f], nullptr);
  s += "journeys changed: " + std::to_string(a.changed.size()) + " (" + std::to_string(a.tooLong) +
       " now too long)\n";
  s += "rides reversed: " + std::to_string(a.reversed) + "\n";
  s += "rides appended: " + std::to_string(a.rides[0] + a.rides[1] - a.reversed) +
       " (besides the reversals)\n";
  const char* const companies[2] = {"bus company", "metro company"};
  for (int l = 0; l < 2; l++)
    s += std::string(companies[l]) + ": " + signedText(a.rides[l], n) + " lines, money " +
         signedText(a.money[l], n) + "\n";
  s += "journeys:\n";
  for (const std::string& key : a.changed) s += key + "\n";
  return s;
}
