// fare-settle-day: the same batches and money as the split and the runner,
// each batch's trace on demand, and a day finished exactly after a crash
// at any point of any group.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "batch.h"

namespace {

namespace fs = std::filesystem;

// A day of `journeys` journeys of 1 to 8 taps (ties in a minute, transfers),
// with odd lines among them and, when asked, one journey too long for a run.
void writeDay(const Batch& b, unsigned seed, int journeys, bool tooLong) {
  std::mt19937 random(seed);
  std::string files[2];
  for (int j = 0; j < journeys; j++) {
    int start = 300 + static_cast<int>(random() % 900), n = 1 + static_cast<int>(random() % 8);
    for (int t = 0; t < n; t++) {
      int minute = start + t * static_cast<int>(random() % 3);  // often the same minute
      char line[64];
      std::snprintf(line, sizeof line, "%02d:%02d %s %s %d K%d\n", minute / 60, minute % 60,
                    random() % 2 ? "METRO" : "BUS", t % 2 ? "OUT" : "IN",
                    static_cast<int>(random() % 400) - 20, j);
      files[random() % 2] += line;
    }
    if (j % 17 == 3)
      files[j % 2] += j % 3 ? "08:00 TRAM IN 1.5 K" + std::to_string(j) + "\n"
                            : "=1+1 BUS IN 1 K" + std::to_string(j) + "\n";
  }
  if (tooLong)
    for (int i = 0; i < 130; i++)
      files[1] += "07:" + std::to_string(10 + i % 50) + " BUS IN 3 LONG\n";
  b.write("day-metro.txt", files[0]);
  b.write("day-bus.txt", files[1]);
}

RunResult day(const Batch& b, std::vector<const char*> args,
              const std::vector<std::string>& env = {}, const RunOptions& options = {}) {
  std::vector<const char*> cmd = {"env"};
  for (const std::string& e : env) cmd.push_back(e.c_str());
  for (const char* a : builtProgram(FARE_SETTLE_DAY)) cmd.push_back(a);
  cmd.insert(cmd.end(), args.begin(), args.end());
  return b.runCommand(cmd, options);
}

std::string ledgers(const Batch& b, const std::string& dir) {
  return b.readBytes(dir + "/busCompany.txt") + "--\n" + b.readBytes(dir + "/metroCompany.txt");
}

std::vector<std::string> sortedLines(const std::string& bytes) {
  std::vector<std::string> lines = linesOf(bytes);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Each batch of the split's tree settled by fare-settle, one after another,
// appends exactly what the day appends; each batch's trace and notes
// come back byte for byte from --trace.
TEST(Day, SettlesEveryBatchAsFareSettleDoesInTheSplitsTree) {
  struct {
    const char* scenario;
    unsigned seed;
    const char* batchTaps;
    bool tooLong;
  } cases[] = {
      {"full batches, odd lines, ties, a journey too long", 7, "100", true},
      {"small batches", 8, "30", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    writeDay(b, c.seed, 120, c.tooLong);
    std::vector<const char*> split = builtProgram(FARE_SETTLE_SPLIT);
    split.insert(split.end(),
                 {"--batch-taps", c.batchTaps, "day-metro.txt", "day-bus.txt", "tree"});
    ASSERT_EQ(b.runCommand(split).status, 0);
    RunResult r = day(b, {"--batch-taps", c.batchTaps, "day-metro.txt", "day-bus.txt", "day"});
    EXPECT_EQ(r.status, 1);  // the odd lines are named
    std::string bus, metro;  // what the batches appended, run one after another
    for (int n = 1;
         b.exists("tree/" + std::string(6 - std::to_string(n).size(), '0') + std::to_string(n));
         n++) {
      std::string dir =
          "tree/" + std::string(6 - std::to_string(n).size(), '0') + std::to_string(n);
      Batch run;
      run.write("metro.txt", b.readBytes(dir + "/metro.txt"));
      run.write("bus.txt", b.readBytes(dir + "/bus.txt"));
      RunResult settled = run.run();
      RunResult traced = day(b, {"--trace", std::to_string(n).c_str(), "--batch-taps", c.batchTaps,
                                 "day-metro.txt", "day-bus.txt"});
      EXPECT_EQ(traced.out, settled.out) << dir;
      EXPECT_EQ(traced.err, settled.err) << dir;
      bus += run.readBytes("busCompany.txt");
      metro += run.readBytes("metroCompany.txt");
    }
    EXPECT_EQ(ledgers(b, "day"), bus + "--\n" + metro);
    EXPECT_NE(r.out.find("journeys too long: " +
                         std::string(c.tooLong ? "1 (130 taps, amounts 390" : "0 (0 taps")),
              std::string::npos)
        << r.out;
  }
}

// The journal's last "begin": the starts it recorded, and whether "done" followed.
struct LastGroup {
  long long starts[2] = {-1, -1};
  bool inWrite[2] = {false, false};  // "writing" without "wrote": where it stopped is unknown
  bool done = false;
};

LastGroup lastGroup(const std::string& journal) {
  LastGroup last;
  std::string group;
  for (const std::string& line : linesOf(journal)) {
    std::istringstream in(line);
    std::string kind, g, boot;
    in >> kind >> g;
    if (kind == "begin") {
      long long skip, lead, device, file;
      in >> boot >> last.starts[0] >> lead >> skip >> device >> file >> last.starts[1];
      group = g;
      last = LastGroup{{last.starts[0], last.starts[1]}};
    } else if (kind == "done" && g == group) {
      last.done = true;
    } else if ((kind == "writing" || kind == "wrote") && g == group) {
      int l = 0;
      in >> l;
      last.inWrite[l] = kind == "writing";
    }
  }
  return last;
}

// A kill at every point between two writes or flushes of every group, then
// what may happen before the rerun; the rerun must finish the day exactly.
TEST(Day, ARerunAfterACrashAnywhereFinishesTheDayExactly) {
  enum Then : unsigned char { NOTHING, POWER_CUT, ANOTHER_RUN, ANOTHER_RUN_SAME_LINES };
  struct {
    const char* scenario;
    Then then;
  } cases[] = {
      {"killed", NOTHING},
      {"a power cut: the journal reached the disk, the ledger bytes did not", POWER_CUT},
      {"another run appends between the crash and the rerun", ANOTHER_RUN},
      {"another run appends the very lines the group was to write", ANOTHER_RUN_SAME_LINES},
  };
  const std::vector<std::string> groups = {"FARE_SETTLE_DAY_GROUP_BATCHES=2"};
  const std::vector<const char*> args = {"--batch-taps", "45", "day-metro.txt", "day-bus.txt",
                                         "day"};
  Batch reference;
  writeDay(reference, 3, 40, false);
  ASSERT_EQ(day(reference, args, groups).status, 1);
  const std::string expected = ledgers(reference, "day");
  ASSERT_GT(linesOf(expected).size(), 60u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    int crashes = 0;
    for (int point = 1;; point++) {
      Batch b;
      writeDay(b, 3, 40, false);
      std::vector<std::string> env = groups;
      env.push_back("FARE_SETTLE_DAY_CRASH_AT=" + std::to_string(point));
      if (day(b, args, env).status != 128 + 9) break;  // past the last point
      crashes++;
      std::string extra;  // what another run appended
      LastGroup last = lastGroup(b.readBytes("day/journal"));
      std::vector<std::string> rerun = groups;
      if (c.then == POWER_CUT && !last.done) {
        for (int l = 0; l < 2; l++)
          if (last.starts[l] >= 0)
            fs::resize_file(b.path(l == 0 ? "day/busCompany.txt" : "day/metroCompany.txt"),
                            static_cast<uintmax_t>(last.starts[l]));
        rerun.push_back("FARE_SETTLE_DAY_BOOT_ID=after-the-power-cut");
      }
      if (c.then == ANOTHER_RUN || c.then == ANOTHER_RUN_SAME_LINES) {
        b.mkdir("other");
        for (const char* ledger : {"busCompany.txt", "metroCompany.txt"})
          fs::create_symlink(b.path(std::string("day/") + ledger),
                             b.path(std::string("other/") + ledger));
        std::string taps = "23:59 BUS IN 7 X1\n23:59 METRO IN 8 X2\n";
        if (c.then == ANOTHER_RUN_SAME_LINES) {  // the group's first line in each ledger, as rides
          taps.clear();
          for (int l = 0; l < 2; l++) {
            std::string bytes =
                reference.readBytes(l == 0 ? "day/busCompany.txt" : "day/metroCompany.txt");
            if (last.starts[l] < 0 || static_cast<size_t>(last.starts[l]) >= bytes.size()) continue;
            std::string line = linesOf(bytes.substr(static_cast<size_t>(last.starts[l])))[0];
            std::replace(line.begin(), line.end(), ',', ' ');
            std::istringstream in(line);
            std::string time, mode, fee;
            in >> time >> mode >> fee;
            taps += time + " " + mode + " IN " + fee + " S" + std::to_string(l) + "\n";
          }
        }
        b.write("other/metro.txt", taps);
        b.write("other/bus.txt", "");
        Batch::finish(spawn(b.path("other"), builtProgram(FARE_SETTLE_BIN), {}));
        extra = taps;
      }
      RunResult r = day(b, args, rerun);
      EXPECT_EQ(r.status, 1) << "point " << point << "\n" << r.err;  // the odd lines again
      EXPECT_EQ(r.err.find("not appended"), std::string::npos) << "point " << point;
      // A ride named in doubt was kept: the ledger may hold it once where it was due twice.
      std::vector<std::string> doubted;
      for (const std::string& line : linesOf(r.err)) {
        size_t at = line.find(": in doubt: ");
        if (at == std::string::npos) continue;
        // Only where the journal cannot tell whether the group's write began.
        EXPECT_EQ(c.then, ANOTHER_RUN_SAME_LINES) << "point " << point << ": " << line;
        EXPECT_TRUE(last.inWrite[line.find("metroCompany") != std::string::npos ? 1 : 0])
            << "point " << point << ": " << line;
        size_t from = line.find(": ") + 2;
        doubted.push_back(line.substr(from, at - from));
      }
      std::vector<std::string> want = sortedLines(expected), got = sortedLines(ledgers(b, "day"));
      for (const std::string& tap : linesOf(extra)) {
        std::istringstream in(tap);
        std::string time, mode, dir, fee;
        in >> time >> mode >> dir >> fee;
        want.push_back(time + "," + mode + "," + fee);
      }
      got.insert(got.end(), doubted.begin(), doubted.end());
      std::sort(want.begin(), want.end());
      std::sort(got.begin(), got.end());
      if (extra.empty()) {
        EXPECT_EQ(ledgers(b, "day"), expected) << "point " << point;
      }
      EXPECT_EQ(got, want) << "point " << point;
      if (crashes == 1) {  // and a finished day run again appends nothing
        RunResult again = day(b, args, groups);
        EXPECT_NE(again.out.find("rides appended by this run: 0 of"), std::string::npos)
            << again.out;
      }
    }
    EXPECT_GT(crashes, 10);
  }
}

// A ledger that cannot grow (a full disk, here a file-size limit): every
// ride of the group that did not fit is named, and the rerun appends them.
TEST(Day, ARerunAfterAFullDiskAppendsWhatDidNotFit) {
  Batch clean, b;
  writeDay(clean, 4, 400, false);
  writeDay(b, 4, 400, false);
  const std::vector<const char*> args = {"day-metro.txt", "day-bus.txt", "day"};
  const std::vector<std::string> groups = {"FARE_SETTLE_DAY_GROUP_BATCHES=2"};
  day(clean, args, groups);
  RunOptions limited;  // room for the journal, not for the whole bus ledger
  limited.fileSizeLimit =
      static_cast<long long>(clean.readBytes("day/busCompany.txt").size() * 3 / 4);
  ASSERT_LT(clean.readBytes("day/journal").size(), static_cast<size_t>(limited.fileSizeLimit));
  RunResult full = day(b, args, groups, limited);
  EXPECT_EQ(full.status, 3);
  EXPECT_NE(full.err.find(": not appended: File too large (batch "), std::string::npos) << full.err;
  RunResult rerun = day(b, args, groups);
  EXPECT_EQ(rerun.err.find("not appended"), std::string::npos) << rerun.err;
  EXPECT_EQ(ledgers(b, "day"), ledgers(clean, "day"));
}

// What the day refuses, with status 2: other day files for a DIR whose
// journal names a day, and a second copy while one holds the DIR.
TEST(Day, RefusesOtherDayFilesAndASecondCopy) {
  Batch b;
  writeDay(b, 5, 10, false);
  const std::vector<const char*> args = {"day-metro.txt", "day-bus.txt", "day"};
  ASSERT_NE(day(b, args).status, 2);
  const std::string before = ledgers(b, "day");
  {
    HeldLock holder(b.path("day/journal"));
    ASSERT_TRUE(holder.held());
    RunResult r = day(b, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "fare-settle-day: day: in use by process " + std::to_string(getpid()) + "\n");
  }
  b.write("day-bus.txt", b.readBytes("day-bus.txt") + "23:00 BUS IN 5 NEW\n");
  RunResult r = day(b, args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(
      r.err.rfind("fare-settle-day: day: its journal is of other day files (day-bus.txt, ", 0), 0u)
      << r.err;
  EXPECT_EQ(ledgers(b, "day"), before);
}

}  // namespace
