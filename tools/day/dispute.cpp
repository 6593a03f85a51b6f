// A dispute answered: a journey's taps, batch and rides as the day files
// settle them, and which revision of DIR appended or reversed them.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "journey.h"
#include "ledgers.h"
#include "run.h"
#include "settlement.h"

namespace {

// What DIR's amendments say of journey `key`: "N how" for each that changed it.
std::vector<std::string> historyOf(const std::string& dir, const std::string& key) {
  std::vector<std::string> history;
  for (int n = 1;; n++) {
    FILE* in = std::fopen((dir + "/amendment-" + std::to_string(n) + ".txt").c_str(), "r");
    if (in == nullptr) break;
    char line[256];
    bool listed = false;
    while (std::fgets(line, sizeof line, in) != nullptr) {
      std::string text(line, std::strcspn(line, "\n"));
      if (text == "journeys:") listed = true;
      if (listed && text.starts_with(key + " "))
        history.push_back(std::to_string(n) + " " + text.substr(key.size() + 1));
    }
    std::fclose(in);
  }
  return history;
}

}  // namespace

// A dispute: journey KEY's taps with their files and lines, its batch, the
// rides it settles into, and with DIR which revision appended them.
int journeyRun(const Options& o) {
  const std::string key = o.journey;
  if (key.empty() || key.size() > 7 || key.find_first_of(" \t\r\n") != std::string::npos)
    usageError(ME, "--journey: a journey key is 1 to 7 characters", o.journey, USAGE);
  int batchTaps = o.batchTaps;
  if (o.paths.size() == 3) {
    Journal journal;  // read only: nothing is recorded, and a run in progress is no matter
    long holder = 0;
    struct stat st;
    if (stat((std::string(o.paths[2]) + "/journal").c_str(), &st) != 0)
      refuse(std::string(o.paths[2]) + ": no day was settled here");
    DayIdentity was;
    std::vector<GroupRecord> groups;
    std::vector<Revision> revisions;
    int error = 0, damaged = 0;
    if (journal.open(o.paths[2], &holder) == 0 &&
        journal.read(&was, &groups, &revisions, &error, &damaged) && was.batchTaps > 0)
      batchTaps = was.batchTaps;
  }
  Day day;
  readDayFiles(o, &day);
  readDay(&day, o.threads);
  packDay(&day, batchTaps);
  const uint64_t wanted = keyOf(key.c_str());
  uint32_t j = 0;
  while (j < day.journeys.size() && day.journeys[j].key != wanted) j++;
  std::printf("journey %s in %s and %s\n", key.c_str(), day.sources[0].name, day.sources[1].name);
  if (j == day.journeys.size()) {
    std::printf("taps: none\n");
  } else {
    std::printf("taps, as a run reads them:\n");
    TermInfo infos[TAP_CAPACITY];
    tapCount = 0;
    for (const DayLine& l : day.lines) {
      if (l.journey != j) continue;
      std::printf("  %s:%llu: %.*s\n", day.sources[l.source].name,
                  static_cast<unsigned long long>(l.number), static_cast<int>(l.length),
                  day.sources[l.source].bytes.data() + l.offset);
      if (tapCount < TAP_CAPACITY) tapOf(day, l, &infos[tapCount++]);
    }
    const DayJourney& dj = day.journeys[j];
    if (dj.batch < 0) {
      std::printf("batch: none: %d taps, longer than a run (%d); not settled\n", dj.taps,
                  TAP_CAPACITY);
    } else {
      std::printf("batch: %d of %d (batches of %d taps)\n", dj.batch + 1, day.batches, batchTaps);
      RideInfo t[RIDE_CAPACITY];
      buildRidesFrom(infos, t);
      apportionFees(t);
      std::printf("rides as settled:\n");
      char line[LEDGER_LINE + 1];
      for (int r = 0; r < rideCount; r++) {
        int length = formatLedgerLine(t[r], t[r].tr == MODE_BUS ? "BUS" : "METRO", line);
        std::printf("  %.*s\n", length - LINE_END_LENGTH, line);
      }
    }
  }
  if (o.paths.size() == 3) {
    std::vector<std::string> history = historyOf(o.paths[2], key);
    std::printf("in %s:\n", o.paths[2]);
    std::printf("  the day (revision 0) settled it%s\n",
                !history.empty() && history[0].ends_with(" new") ? " not: an amendment added it"
                                                                 : " first");
    for (const std::string& h : history) {
      std::string n = h.substr(0, h.find(' ')), how = h.substr(h.find(' ') + 1);
      std::printf("  amendment %s: %s\n", n.c_str(),
                  how == "new"        ? "appended its rides"
                  : how == "removed"  ? "reversed its rides; none appended"
                  : how == "too long" ? "reversed its rides; too long for a run, none appended"
                  : how == "settled"  ? "appended its rides (too long before)"
                                      : "reversed its rides and appended them anew");
    }
    bool rides = j < day.journeys.size() && day.journeys[j].batch >= 0;
    if (rides)
      std::printf(
          "  the rides above were appended by %s\n",
          history.empty()
              ? "the day (revision 0)"
              : ("amendment " + history.back().substr(0, history.back().find(' '))).c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 2;
}
