// fare-settle-day: the same batches and money as the split and the runner,
// each batch's trace on demand, and a day finished exactly after a crash
// at any point of any group.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
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

// fare-settle-day with args, on two threads unless they say how many, so
// that every row settles its groups on threads of their own on any host.
RunResult day(const Batch& b, std::vector<const char*> args,
              const std::vector<std::string>& env = {}, const RunOptions& options = {}) {
  std::vector<const char*> cmd = {"env"};
  for (const std::string& e : env) cmd.push_back(e.c_str());
  for (const char* a : builtProgram(FARE_SETTLE_DAY)) cmd.push_back(a);
  bool given = std::any_of(args.begin(), args.end(),
                           [](const char* a) { return std::string(a) == "--threads"; });
  if (!given) cmd.insert(cmd.end(), {"--threads", "2"});
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
  // Taps written as a run still takes them: blanks before the time, a tab
  // within a field, a time of 19 characters, a key of 7, a sign, a CR.
  const std::string oddlyWritten =
      "   08:10 METRO IN +250 ODD1\n08:11\tX BUS OUT 3 ODD1\r\n"
      "1234567890123456789 METRO IN 7 KEYSEVN\n8:5 BUS IN -4 KEYSEVN  trailing words\n";
  struct {
    const char* scenario;
    unsigned seed;
    const char* batchTaps;
    bool tooLong;
    std::string more;  // appended to the metro file
  } cases[] = {
      {"full batches, odd lines, ties, a journey too long", 7, "100", true, ""},
      {"small batches", 8, "30", false, ""},
      {"taps written oddly", 9, "100", false, oddlyWritten},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    writeDay(b, c.seed, 120, c.tooLong);
    b.write("day-metro.txt", b.readBytes("day-metro.txt") + c.more);
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

// The journal's last group: the ranges it recorded, and whether "done" followed.
struct LastGroup {
  long long starts[2] = {-1, -1};
  long long lengths[2] = {0, 0};
  bool done = false;
};

LastGroup lastGroup(const std::string& journal) {
  LastGroup last;
  std::string group;
  for (const std::string& line : linesOf(journal)) {
    std::istringstream in(line);
    std::string kind, g;
    in >> kind >> g;
    if (kind == "range") {
      if (g != group) last = LastGroup{};
      group = g;
      int l = 0;
      long long skip = 0, lead = 0;
      in >> l >> last.starts[l] >> skip >> lead >> last.lengths[l];
    } else if (kind == "done" && g == group) {
      last.done = true;
    }
  }
  return last;
}

const char* const LEDGERS[2] = {"day/busCompany.txt", "day/metroCompany.txt"};

// statement.csv's rows summed per company (bus, metro): lines and money.
void csvTotals(const Batch& b, long long* lines, long long* money) {
  for (std::string row : linesOf(b.readBytes("day/statement.csv"))) {
    std::replace(row.begin(), row.end(), ',', ' ');
    std::istringstream fields(row);
    std::string revision, company;
    long long rides = 0, fees = 0;
    if (!(fields >> revision >> company >> rides >> fees)) continue;  // the header
    lines[company == "metro"] += rides;
    money[company == "metro"] += fees;
  }
}

// A kill at every point between two writes or flushes of every group, then
// what may happen before the rerun; the rerun must finish the day exactly.
TEST(Day, ARerunAfterACrashAnywhereFinishesTheDayExactly) {
  enum Then : unsigned char {
    NOTHING,
    POWER_CUT,
    HOLE,
    COPIED_BACK,
    ANOTHER_RUN,
    ANOTHER_RUN_SAME_LINES,
    ONE_FILE,      // both ledger names link to one file from the start
    KILLED_AGAIN,  // the rerun killed too, inside its recovery
  };
  struct {
    const char* scenario;
    Then then;
  } cases[] = {
      {"killed", NOTHING},
      {"a power cut: the journal reached the disk, the ledger bytes (and a new ledger) did not",
       POWER_CUT},
      {"a power cut kept the later pages of the write, not the earlier ones", HOLE},
      {"each ledger copied back into place, or on another device after a remount", COPIED_BACK},
      {"another run appends between the crash and the rerun", ANOTHER_RUN},
      {"another run appends the very lines the group was to write", ANOTHER_RUN_SAME_LINES},
      {"killed, both ledger names linked to one file", ONE_FILE},
      {"killed, then killed again while the rerun recovers the group", KILLED_AGAIN},
  };
  const std::vector<std::string> groups = {"FARE_SETTLE_DAY_GROUP_BATCHES=2"};
  const std::vector<const char*> args = {"--batch-taps", "45", "day-metro.txt", "day-bus.txt",
                                         "day"};
  auto prepare = [](const Batch& b, Then then) {
    writeDay(b, 3, 40, false);
    if (then != ONE_FILE) return;
    b.mkdir("day");
    b.write(LEDGERS[0], "");
    fs::create_symlink("busCompany.txt", b.path(LEDGERS[1]));
  };
  Batch reference, oneFile;
  prepare(reference, NOTHING);
  prepare(oneFile, ONE_FILE);
  ASSERT_EQ(day(reference, args, groups).status, 1);
  ASSERT_EQ(day(oneFile, args, groups).status, 1);
  ASSERT_GT(linesOf(ledgers(reference, "day")).size(), 60u);
  for (const auto& c : cases) {
    if (kEmulated && &c - cases >= 4) continue;  // under an emulator, within the time limit
    SCOPED_TRACE(c.scenario);
    const std::string expected = ledgers(c.then == ONE_FILE ? oneFile : reference, "day");
    int crashes = 0;
    for (int point = 1;; point++) {
      Batch b;
      prepare(b, c.then);
      std::vector<std::string> env = groups;
      env.push_back("FARE_SETTLE_DAY_CRASH_AT=" + std::to_string(point));
      if (day(b, args, env).status != 128 + 9) break;  // past the last point
      crashes++;
      std::string extra;  // what another run appended
      LastGroup last = lastGroup(b.readBytes("day/journal"));
      for (int l = 0; l < 2 && !last.done && c.then != ONE_FILE; l++) {
        if (last.starts[l] < 0 || !b.exists(LEDGERS[l])) continue;
        std::string bytes = b.readBytes(LEDGERS[l]);
        auto start = static_cast<size_t>(last.starts[l]);
        fs::remove(b.path(LEDGERS[l]));
        if (c.then == POWER_CUT && start > 0) b.write(LEDGERS[l], bytes.substr(0, start));
        if (c.then == HOLE)  // the group's bytes, the first half of them zeros
          b.write(LEDGERS[l], bytes.substr(0, start) + std::string(last.lengths[l] / 2, '\0') +
                                  reference.readBytes(LEDGERS[l])
                                      .substr(start, last.lengths[l])
                                      .substr(last.lengths[l] / 2));
        if (c.then != POWER_CUT && c.then != HOLE) b.write(LEDGERS[l], bytes);  // a new inode
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
            std::string bytes = reference.readBytes(LEDGERS[l]);
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
      if (c.then == KILLED_AGAIN) {
        std::vector<std::string> again = groups;
        again.push_back("FARE_SETTLE_DAY_CRASH_AT=1");
        day(b, args, again);
      }
      // Finished on another number of threads than it was killed on.
      std::vector<const char*> rerun = {"--threads", point % 2 == 1 ? "1" : "3"};
      rerun.insert(rerun.end(), args.begin(), args.end());
      RunResult r = day(b, rerun, groups);
      EXPECT_EQ(r.status, 1) << "point " << point << "\n" << r.err;  // the odd lines again
      EXPECT_EQ(r.err.find("not appended"), std::string::npos) << "point " << point;
      EXPECT_EQ(r.err.find("bytes unwritten") != std::string::npos,
                c.then == HOLE && !last.done && last.lengths[0] + last.lengths[1] > 1)
          << "point " << point << "\n"
          << r.err;
      // A ride named in doubt was kept: the ledger may hold it once where it was due twice.
      std::vector<std::string> doubted;
      for (const std::string& line : linesOf(r.err)) {
        size_t at = line.find(": in doubt: ");
        if (at == std::string::npos) continue;
        EXPECT_EQ(c.then, ANOTHER_RUN_SAME_LINES) << "point " << point << ": " << line;
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

// A ledger that cannot grow (a full disk, here a file-size limit): the day
// stops at the group that did not fit (status 3), standard error counts a
// cause past its tenth ride, notes.txt names every one, and the rerun
// finishes the day exactly. Identical lines make a rerun that matched a
// later group against the lines it had just written show.
TEST(Day, ARerunAfterAFullDiskAppendsWhatDidNotFit) {
  struct {
    const char* scenario;
    std::vector<std::string> env;
    std::vector<const char*> args;
  } cases[] = {
      {"a day of varied fares",
       {"FARE_SETTLE_DAY_GROUP_BATCHES=2"},
       {"day-metro.txt", "day-bus.txt", "day"}},
      {"identical lines, a batch a tap, many groups",
       {"FARE_SETTLE_DAY_GROUP_BATCHES=40"},
       {"--batch-taps", "1", "day-metro.txt", "day-bus.txt", "day"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch clean, b;
    for (const Batch* d : {&clean, &b}) {
      if (c.args.size() == 3) {
        writeDay(*d, 4, 400, false);
        continue;
      }
      std::string bus;
      for (int i = 0; i < 3000; i++) bus += "07:00 BUS IN 250 K" + std::to_string(i) + "\n";
      d->write("day-metro.txt", "");
      d->write("day-bus.txt", bus);
    }
    day(clean, c.args, c.env);
    RunOptions limited;  // room for the journal, not for the whole bus ledger
    limited.fileSizeLimit =
        static_cast<long long>(clean.readBytes("day/busCompany.txt").size() * 3 / 4);
    ASSERT_LT(clean.readBytes("day/journal").size(), static_cast<size_t>(limited.fileSizeLimit));
    RunResult full = day(b, c.args, c.env, limited);
    EXPECT_EQ(full.status, 3);
    size_t said = 0;  // rides named on standard error, and how many the count says
    long long counted = 0;
    for (const std::string& line : linesOf(full.err)) {
      const std::string tail =
          " rides not appended: File too large; run the same command again "
          "to finish";
      if (line.ends_with(tail)) counted = std::stoll(line);
      if (line.find(": not appended: File too large (batch ") == std::string::npos) continue;
      // The ride's batch: with a tap a batch, one more than the lines before it.
      if (said++ == 0 && c.args.size() > 3) {
        EXPECT_EQ(line, "day/busCompany.txt: 07:00,BUS,250: not appended: File too large (batch " +
                            std::to_string(linesOf(b.readBytes("day/busCompany.txt")).size() + 1) +
                            ")");
      }
    }
    EXPECT_EQ(said, 10u) << full.err;
    EXPECT_GT(counted, 10) << full.err;
    RunResult rerun = day(b, c.args, c.env);
    EXPECT_EQ(rerun.err.find("not appended"), std::string::npos) << rerun.err;
    EXPECT_EQ(rerun.status, c.args.size() > 3 ? 0 : 1);
    EXPECT_EQ(ledgers(b, "day"), ledgers(clean, "day"));
  }
}

// What the day refuses, with status 2 and nothing appended.
TEST(Day, RefusesWhatItCannotSettleExactly) {
  const std::string in = "fare-settle-day: day: in use by process " + std::to_string(getpid());
  struct Case {
    const char* scenario;
    std::function<void(const Batch&)> change;  // after the day was settled into day/
    std::vector<const char*> args;
    std::string err;    // how standard error begins
    bool held = false;  // another process holds day/
  } cases[] = {
      {"a second copy, refused before it reads the day",
       [](const Batch& b) { b.write("day-bus.txt", "23:00 BUS IN 5 NEW\n"); },
       {"day-metro.txt", "day-bus.txt", "day"},
       in,
       true},
      {"other day files",
       [](const Batch& b) { b.write("day-bus.txt", "23:00 BUS IN 5 NEW\n"); },
       {"day-metro.txt", "day-bus.txt", "day"},
       "fare-settle-day: day: its journal is of other day files (day-bus.txt, "},
      {"a corrected line of the same size",
       [](const Batch& b) {
         std::string bus = b.readBytes("day-bus.txt");
         bus[bus.find(" IN ") + 4] = bus[bus.find(" IN ") + 4] == '1' ? '2' : '1';
         b.write("day-bus.txt", bus);
       },
       {"day-metro.txt", "day-bus.txt", "day"},
       "fare-settle-day: day: its journal is of other day files (day-bus.txt, "},
      {"another packing",
       [](const Batch&) {},
       {"--batch-taps", "50", "day-metro.txt", "day-bus.txt", "day"},
       "fare-settle-day: day: its journal is of batches of 100 taps\n"},
      {"the same file twice",
       [](const Batch&) {},
       {"day-bus.txt", "day-bus.txt", "day2"},
       "fare-settle-day: day-bus.txt and day-bus.txt are the same file"},
      {"a device",
       [](const Batch&) {},
       {"/dev/zero", "day-bus.txt", "day2"},
       "fare-settle-day: /dev/zero: not a regular file\n"},
      {"a FIFO with no writer",
       [](const Batch& b) { mkfifo(b.path("fifo").c_str(), 0600); },
       {"fifo", "day-bus.txt", "day2"},
       "fare-settle-day: fifo: not a regular file\n"},
      {"no thread to settle on",
       [](const Batch&) {},
       {"--threads", "0", "day-metro.txt", "day-bus.txt", "day"},
       "fare-settle-day: --threads: not a count from 1 to 256: 0\n"},
      {"a line end in a path the journal records",
       [](const Batch&) {},
       {"--ledgers", "a\nb", "day-metro.txt", "day-bus.txt", "day2"},
       "fare-settle-day: a\\nb: a path with a line end cannot be recorded"},
      {"a journal damaged in the middle",
       [](const Batch& b) {
         std::string journal = b.readBytes("day/journal");
         journal[journal.find("\nname") + 3] = 'X';
         b.write("day/journal", journal);
       },
       {"day-metro.txt", "day-bus.txt", "day"},
       "fare-settle-day: day/journal: record 3 is damaged"},
      {"the journal lost",
       [](const Batch& b) { fs::remove(b.path("day/journal")); },
       {"day-metro.txt", "day-bus.txt", "day"},
       "fare-settle-day: "},
      {"the same day from another DIR into the same ledgers",
       [](const Batch&) {},
       {"--ledgers", "day", "day-metro.txt", "day-bus.txt", "day2"},
       "fare-settle-day: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    writeDay(b, 5, 10, false);
    ASSERT_EQ(day(b, {"day-metro.txt", "day-bus.txt", "day"}).status, 1);
    const std::string before = ledgers(b, "day");
    c.change(b);
    std::unique_ptr<HeldLock> holder;
    if (c.held) holder = std::make_unique<HeldLock>(b.path("day/journal"));
    RunResult r = day(b, c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(ledgers(b, "day"), before);
    if (std::string(c.scenario).starts_with("the journal lost") ||
        std::string(c.scenario).starts_with("the same day from")) {
      EXPECT_NE(r.err.find("settled from " + fs::canonical(b.path("day")).string()),
                std::string::npos)
          << r.err;
      std::vector<const char*> again = c.args;
      again.insert(again.begin(), "--again");
      EXPECT_EQ(day(b, again).status, 1);  // on purpose: the day a second time
      EXPECT_EQ(linesOf(ledgers(b, "day")).size(), 2 * linesOf(before).size() - 1);
    }
  }
}

// Statuses and notes a scheduler and a person can act on, the statement's
// money against the ledgers, and odd ledgers.
TEST(Day, SaysWhatItDidAndEndsWithAStatusToActOn) {
  std::string hundred;  // one journey of exactly a run's taps
  for (int i = 0; i < 100; i++) hundred += "08:" + std::to_string(10 + i % 50) + " BUS IN 3 H\n";
  struct {
    const char* scenario;
    std::string metro, bus;
    std::function<void(const Batch&)> setUp;
    int status;
    std::string err, bus_ledger;
  } cases[] = {
      {"the worked example", "08:10 METRO IN 250 A1\n08:40 METRO OUT 0 A1\n09:00 BUS IN 150 A1\n",
       "07:00 BUS IN 200 B2\n07:30 BUS OUT 50 B2\n", [](const Batch&) {}, 0, "",
       "09:00,BUS,109\n07:00,BUS,250\n"},
      {"a journey of exactly 100 taps", "", hundred, [](const Batch&) {}, 0, "",
       "08:10,BUS,12\n"},  // settled, not set apart: its first ride
      {"a file still being written", "08:10 METRO IN 250 A1\n", "07:00 BUS IN 200 A1",
       [](const Batch&) {}, 1, "day-bus.txt:1: no line end; the file may still be being written\n",
       "07:00,BUS,450\n"},
      {"no taps", "", "\n", [](const Batch&) {}, 1,
       "fare-settle-day: day-metro.txt and day-bus.txt hold no taps\n", ""},
      {"a torn last ledger line", "", "07:00 BUS IN 200 B2\n",
       [](const Batch& b) { b.write("day/busCompany.txt", "06:00,BUS,1"); }, 1,
       "day/busCompany.txt: last line is unfinished; new lines start on a line of their own\n",
       "06:00,BUS,1\n07:00,BUS,200\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    b.write("day-metro.txt", c.metro);
    b.write("day-bus.txt", c.bus);
    b.mkdir("day");
    c.setUp(b);
    RunResult r = day(b, {"day-metro.txt", "day-bus.txt", "day"});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(b.readBytes("day/notes.txt"), c.err);
    std::string bus = b.readBytes("day/busCompany.txt");
    if (std::string(c.scenario).ends_with("100 taps")) bus.resize(c.bus_ledger.size());
    EXPECT_EQ(bus, c.bus_ledger);
    // Money in is the taps', money out the ledgers' (less what was there before).
    long long in = 0, out = 0;
    for (const std::string& line : linesOf(c.metro + c.bus)) {
      std::istringstream fields(line);
      std::string time, mode, dir;
      long long amount = 0;
      if (fields >> time >> mode >> dir >> amount) in += amount;
    }
    // statement.csv's rows add up, per company, to the lines and money its ledger gained.
    long long lines[2] = {0, 0}, money[2] = {0, 0};
    csvTotals(b, lines, money);
    for (int l = 0; l < 2; l++) {
      long long ledgerLines = 0, ledgerMoney = 0;
      for (const std::string& line : linesOf(b.readBytes(LEDGERS[l]))) {
        if (line == "06:00,BUS,1") continue;  // the torn line the ledger held
        ledgerLines++;
        ledgerMoney += std::stoll(line.substr(line.rfind(',') + 1));
      }
      out += ledgerMoney;
      EXPECT_EQ(lines[l], ledgerLines) << "statement.csv against " << LEDGERS[l];
      EXPECT_EQ(money[l], ledgerMoney) << "statement.csv against " << LEDGERS[l];
    }
    const std::string statement = b.readBytes("day/statement.txt");
    EXPECT_EQ(statement, r.out);
    EXPECT_EQ(statement.rfind(
                  "statement of the day in " + fs::canonical(b.path("day")).string() + "\n", 0),
              0u);
    for (const std::string& line :
         {"money in: " + std::to_string(in) + "\n", "money out: " + std::to_string(out) + "\n",
          "rounding difference: " + std::to_string(out - in) + "\n"})
      EXPECT_NE(statement.find(line), std::string::npos) << line << statement;
  }
}

// Ledgers that are not regular files: written, never flushed (fsync would
// fail), and the day finishes; a rerun appends nothing.
TEST(Day, SettlesIntoLedgersThatAreNotFiles) {
  Batch b;
  writeDay(b, 6, 10, false);
  b.mkdir("null");
  for (const char* ledger : {"null/busCompany.txt", "null/metroCompany.txt"})
    fs::create_symlink("/dev/null", b.path(ledger));
  const std::vector<const char*> args = {"--ledgers", "null", "day-metro.txt", "day-bus.txt",
                                         "day"};
  RunResult first = day(b, args);
  EXPECT_EQ(first.status, 1);  // the odd lines
  EXPECT_EQ(first.err.find("busCompany"), std::string::npos) << first.err;
  RunResult again = day(b, args);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("rides appended by this run: 0 of"), std::string::npos) << again.out;
  EXPECT_EQ(again.out.find("not appended)"), std::string::npos) << again.out;
}

// A stop sent from outside, then the same command again until the day is
// finished: every ride exactly once. A SIGTERM while the day waits for a
// ledger another run holds, and a real SIGKILL while a ledger grows (the
// kernel cuts a large write at a page, anywhere in a line).
TEST(Day, AStopFromOutsideLeavesADayTheSameCommandFinishes) {
  enum Stop : unsigned char { TERM_WAITING_FOR_LOCK, KILL_WHILE_LEDGER_GROWS };
  struct {
    const char* scenario;
    Stop stop;
    int taps;
  } cases[] = {
      {"SIGTERM while waiting for a ledger's lock", TERM_WAITING_FOR_LOCK, 3000},
      {"SIGKILL from outside inside the write", KILL_WHILE_LEDGER_GROWS,
       kEmulated ? 40000 : 200000},
  };
  const std::vector<const char*> args = {"--threads", "2", "day-metro.txt", "day-bus.txt", "day"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    std::string bus;
    for (int i = 0; i < c.taps; i++)
      bus += "07:00 BUS IN " + std::to_string(i % 997) + " K" + std::to_string(i) + "\n";
    Batch reference;
    reference.write("day-metro.txt", "");
    reference.write("day-bus.txt", bus);
    ASSERT_EQ(day(reference, args).status, 0);
    const std::string expected = reference.readBytes("day/busCompany.txt");
    int cut = 0;
    for (int attempt = 0; attempt < 5 && (attempt == 0 || cut == 0); attempt++) {
      Batch b;
      b.write("day-metro.txt", "");
      b.write("day-bus.txt", bus);
      b.mkdir("day");
      b.write("day/busCompany.txt", "");
      std::vector<const char*> cmd = builtProgram(FARE_SETTLE_DAY);
      cmd.insert(cmd.end(), args.begin(), args.end());
      std::error_code none;
      if (c.stop == TERM_WAITING_FOR_LOCK) {
        HeldLock lock(b.path("day/busCompany.txt"));
        ASSERT_TRUE(lock.held());
        Started run = b.startCommand(cmd);
        for (int i = 0; i < 500 && !b.exists("day/settled-days"); i++)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Batch::signal(run, SIGTERM);
        EXPECT_EQ(Batch::finish(run).status, 128 + SIGTERM);
        cut = 1;
      } else {
        Started run = b.startCommand(cmd);
        for (int i = 0; i < 2000000 && Batch::running(run); i++) {
          auto size = fs::file_size(b.path("day/busCompany.txt"), none);
          if (!none && size > 0) {
            Batch::signal(run, SIGKILL);
            break;
          }
        }
        RunResult killed = Batch::finish(run);
        auto size = fs::file_size(b.path("day/busCompany.txt"), none);
        cut = killed.status == 128 + SIGKILL && size > 0 && size < expected.size() ? 1 : 0;
      }
      RunResult rerun = day(b, args);
      EXPECT_LE(rerun.status, 1) << rerun.err;
      EXPECT_EQ(rerun.err.find("not appended"), std::string::npos) << rerun.err;
      const std::string got = b.readBytes("day/busCompany.txt");  // too large to print a diff of
      EXPECT_TRUE(got == expected)
          << got.size() << " bytes, not the " << expected.size()
          << " expected; first difference at byte "
          << std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
                 got.begin();
      RunResult again = day(b, args);
      EXPECT_EQ(again.status, 0) << again.err;
      EXPECT_NE(again.out.find("rides appended by this run: 0 of " + std::to_string(c.taps) + " (" +
                               std::to_string(c.taps) + " appended before)\n"),
                std::string::npos)
          << again.out;
    }
    if (cut == 0) std::printf("%s: no kill landed inside the write here\n", c.scenario);
  }
}

// The calls of a command that write or flush, as strace saw them: each
// call's name, the path of its first descriptor or name, and what a write
// began with.
struct Call {
  std::string name, path, data;
};

std::vector<Call> tracedCalls(const Batch& b, std::vector<const char*> command) {
  command.insert(command.begin(),
                 {"strace", "-f", "-y", "-s", "12", "-o", "calls", "-e",
                  "trace=openat,write,pwrite64,fsync,fdatasync,syncfs,rename,renameat,renameat2"});
  b.runCommand(command);
  std::vector<Call> calls;
  for (const std::string& line : linesOf(b.readBytes("calls"))) {
    size_t open = line.find('(');
    if (open == std::string::npos) continue;
    Call c;
    size_t name = line.find_first_not_of(' ', line.find(' '));  // past the process id
    c.name = line.substr(name, open - name);
    size_t lt = line.find('<', open), quote = line.find('"', open);
    if (c.name != "openat" && lt != std::string::npos && (quote == std::string::npos || lt < quote))
      c.path = line.substr(lt + 1, line.find('>', lt) - lt - 1);
    else if (quote != std::string::npos)
      c.path = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
    if (c.name == "write" && quote != std::string::npos)
      c.data = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
    calls.push_back(c);
  }
  return calls;
}

// Where the first call after `from` that matches is, or -1.
long find(const std::vector<Call>& calls, long from, const std::string& name,
          const std::string& pathEnd, const std::string& data = "") {
  for (auto i = static_cast<size_t>(std::max(from, 0L)); i < calls.size(); i++)
    if (calls[i].name == name && calls[i].path.ends_with(pathEnd) &&
        calls[i].data.starts_with(data))
      return static_cast<long>(i);
  return -1;
}

// The order of writes and flushes that makes a rerun exact, seen from outside.
TEST(Day, WritesAndFlushesInTheOrderThatMakesARerunExact) {
  if (!straceRuns()) GTEST_SKIP() << "strace cannot run here, or follow this build";
  Batch b;
  b.write("day-metro.txt", "08:10 METRO IN 250 A1\n");
  b.write("day-bus.txt", "07:00 BUS IN 200 B2\n");
  std::vector<const char*> dayCommand = builtProgram(FARE_SETTLE_DAY);
  dayCommand.insert(dayCommand.end(), {"day-metro.txt", "day-bus.txt", "day"});
  std::vector<Call> calls = tracedCalls(b, dayCommand);
  const std::string dir = fs::canonical(b.path("day")).string();
  long made = find(calls, 0, "fsync", fs::canonical(b.dir()).string());  // DIR's entry
  long journalEntry = find(calls, 0, "fsync", dir);
  long done = find(calls, 0, "write", "/journal", "done 0");
  EXPECT_GE(made, 0) << "DIR's parent never flushed";
  EXPECT_GE(journalEntry, 0) << "DIR never flushed after the journal was made";
  ASSERT_GE(done, 0);
  for (const char* ledger : {"/busCompany.txt", "/metroCompany.txt"}) {
    SCOPED_TRACE(ledger);
    long write = find(calls, 0, "write", ledger);
    long range = find(calls, 0, "write", "/journal", "range");
    long rangeFlushed = find(calls, range, "fsync", "/journal");
    EXPECT_TRUE(range >= 0 && rangeFlushed > range && rangeFlushed < write)
        << "the range is not on disk before the ledger's write";
    long flushed = find(calls, write, "fsync", ledger);
    EXPECT_TRUE(flushed > write && flushed < done) << "the ledger is not on disk before done";
  }
  EXPECT_LT(find(calls, journalEntry + 1, "fsync", dir), done)
      << "the ledgers' directory is not on disk before done";
  EXPECT_GT(find(calls, done, "fsync", "/journal"), done) << "done is not flushed";
  for (const char* file : {"/statement.txt", "/notes.txt"}) {
    long renamed = find(calls, 0, "rename", std::string(file) + ".tmp");
    EXPECT_GE(renamed, 0) << file;
    EXPECT_GE(find(calls, 0, "fsync", std::string(file) + ".tmp"), 0)
        << file << " renamed unflushed";
  }
  std::vector<const char*> splitCommand = builtProgram(FARE_SETTLE_SPLIT);
  splitCommand.insert(splitCommand.end(), {"day-metro.txt", "day-bus.txt", "tree"});
  calls = tracedCalls(b, splitCommand);
  long synced = find(calls, 0, "syncfs", "");
  long mark = find(calls, 0, "openat", "/split-finished.tmp");
  EXPECT_TRUE(synced >= 0 && synced < mark) << "the tree is not on disk before its mark";
}

// A ledger with each line and its reversal taken away, sorted: what the
// ledger nets to. A reversal turns the fee's sign ("-0" for a 0).
std::vector<std::string> netted(const std::string& ledger) {
  std::map<std::string, long long> count;
  for (const std::string& line : linesOf(ledger)) count[line]++;
  for (auto& [line, n] : count) {
    size_t fee = line.rfind(',') + 1;
    if (line[fee] == '-') continue;  // a reversal: paired from its ride's side
    long long& reversals = count[line.substr(0, fee) + "-" + line.substr(fee)];
    long long pairs = std::min(n, reversals);
    n -= pairs;
    reversals -= pairs;
  }
  std::vector<std::string> left;
  for (const auto& [line, n] : count) left.insert(left.end(), static_cast<size_t>(n), line);
  return left;
}

// The day corrected: late lines among a minute's taps, an amount changed, a
// line removed, a journey grown too long, the too-long one now fitting, a
// new journey.
void correctDay(const Batch& b, int round) {
  auto keyOf = [](const std::string& line) { return line.substr(line.rfind(' ') + 1); };
  std::string metro = b.readBytes("day-metro.txt"), bus = b.readBytes("day-bus.txt");
  std::vector<std::string> m = linesOf(metro), u = linesOf(bus);
  m.insert(m.begin() + static_cast<long>(m.size() / 2),
           "09:30 METRO IN 77 NEW" + std::to_string(round));
  m.insert(m.begin() + 3, "07:1" + std::to_string(round) + " BUS OUT 5 " + keyOf(m[5]));
  auto tap = std::find_if(u.begin() + 2, u.end(), [](const std::string& line) {
    return line.find(" BUS IN ") == 5 && line.find('.') == std::string::npos;
  });
  tap->insert(13, "1");  // an amount changed
  u.erase(u.begin() + 7);
  for (int i = 0; i < 101 && round == 1; i++) u.push_back("10:00 BUS IN 1 " + keyOf(u[9]));
  std::vector<std::string> kept;
  int longTaps = 0;
  for (const std::string& line : u)
    if (keyOf(line) != "LONG" || longTaps++ < 60) kept.push_back(line);
  auto join = [](const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  };
  b.write("day-metro.txt", join(m));
  b.write("day-bus.txt", join(kept));
}

// An amendment nets each ledger to the corrected day settled afresh, exactly
// once through a kill at any point, and twice in a row; the same files
// again append nothing, and statement.csv adds up to the ledgers.
TEST(Day, AnAmendmentNetsTheLedgersToTheCorrectedDay) {
  const std::vector<const char*> day0 = {"day-metro.txt", "day-bus.txt", "day"};
  const std::vector<const char*> amend = {"--amend", "day-metro.txt", "day-bus.txt", "day"};
  for (int crashAt = 0;; crashAt++) {
    SCOPED_TRACE("killed at point " + std::to_string(crashAt));
    Batch b, fresh;
    writeDay(b, 9, 60, true);
    ASSERT_EQ(day(b, day0).status, 1);
    bool killed = false;
    for (int round = 1; round <= 2; round++) {
      correctDay(b, round);
      std::vector<std::string> env;
      if (round == 1 && crashAt > 0)
        env.push_back("FARE_SETTLE_DAY_CRASH_AT=" + std::to_string(crashAt));
      RunResult r = day(b, amend, env);
      killed = killed || r.status == 128 + 9;
      if (r.status == 128 + 9) r = day(b, amend);
      EXPECT_LE(r.status, 1) << r.err;
      EXPECT_EQ(r.err.find("not appended"), std::string::npos) << r.err;
      RunResult again = day(b, amend);
      EXPECT_EQ(again.status, 0) << again.err;
      // Only the journeys changed: at most the six the corrections touch.
      std::string report = b.readBytes("day/amendment-" + std::to_string(round) + ".txt");
      size_t at = report.find("journeys changed: ");
      ASSERT_NE(at, std::string::npos) << report;
      int changed = std::stoi(report.substr(at + 18));
      EXPECT_TRUE(changed >= 3 && changed <= 6) << report;
      EXPECT_NE(again.out.find("nothing to amend"), std::string::npos) << again.out;
    }
    fresh.write("day-metro.txt", b.readBytes("day-metro.txt"));
    fresh.write("day-bus.txt", b.readBytes("day-bus.txt"));
    day(fresh, day0);
    for (const char* ledger : LEDGERS)
      EXPECT_EQ(netted(b.readBytes(ledger)), sortedLines(fresh.readBytes(ledger))) << ledger;
    long long lines[2] = {0, 0}, money[2] = {0, 0};
    csvTotals(b, lines, money);
    for (int l = 0; l < 2; l++) {
      std::vector<std::string> all = linesOf(b.readBytes(LEDGERS[l]));
      EXPECT_EQ(lines[l], static_cast<long long>(all.size())) << LEDGERS[l];
      long long sum = 0;
      for (const std::string& line : all) sum += std::stoll(line.substr(line.rfind(',') + 1));
      EXPECT_EQ(money[l], sum) << LEDGERS[l];
    }
    if (crashAt > 0 && !killed) break;  // past the amendment's last point
  }
  // Most journeys changed (a line in three): their rides the day appended
  // are reversed, so the rides DIR kept must be each journey's own.
  Batch b, fresh;
  writeDay(b, 12, 60, false);
  ASSERT_EQ(day(b, day0).status, 1);
  for (const char* file : {"day-metro.txt", "day-bus.txt"}) {
    std::string raised;
    int n = 0;
    for (std::string line : linesOf(b.readBytes(file))) {
      size_t amount =
          line.find(" IN ") != std::string::npos ? line.find(" IN ") + 4 : line.find(" OUT ") + 5;
      if (n++ % 3 == 0 && amount > 4 && amount < line.size()) line.insert(amount, "1");
      raised += line + "\n";
    }
    b.write(file, raised);
    fresh.write(file, raised);
  }
  EXPECT_LE(day(b, amend).status, 1);
  day(fresh, day0);
  for (const char* ledger : LEDGERS)
    EXPECT_EQ(netted(b.readBytes(ledger)), sortedLines(fresh.readBytes(ledger))) << ledger;
}

// A dispute: --journey gives a journey's taps with their files and lines and
// the rides fare-settle appends for it run on those taps alone.
TEST(Day, AJourneyIsAnsweredAsItIsSettledAlone) {
  Batch b;
  writeDay(b, 11, 40, false);
  for (const char* key : {"K3", "K17", "K38"}) {
    SCOPED_TRACE(key);
    Batch alone;
    std::string taps[2], listed;
    const char* const files[2] = {"day-metro.txt", "day-bus.txt"};
    for (int f = 0; f < 2; f++) {
      std::vector<std::string> lines = linesOf(b.readBytes(files[f]));
      for (size_t n = 0; n < lines.size(); n++) {
        if (!lines[n].ends_with(std::string(" ") + key)) continue;
        taps[f] += lines[n] + "\n";
        if (lines[n][0] == '=') continue;  // refused: no tap
        listed +=
            "  " + std::string(files[f]) + ":" + std::to_string(n + 1) + ": " + lines[n] + "\n";
      }
    }
    alone.write("metro.txt", taps[0]);
    alone.write("bus.txt", taps[1]);
    alone.run();
    RunResult r = day(b, {"--journey", key, "day-metro.txt", "day-bus.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("taps, as a run reads them:\n" + listed), std::string::npos) << r.out;
    std::vector<std::string> rides;
    for (const std::string& line : linesOf(r.out.substr(r.out.find("rides as settled:\n") + 18)))
      rides.push_back(line.substr(2));
    std::sort(rides.begin(), rides.end());
    EXPECT_EQ(rides,
              sortedLines(alone.readBytes("busCompany.txt") + alone.readBytes("metroCompany.txt")));
  }
}

// Everything a day says is the same on any number of threads: its ledgers,
// statement, notes, standard error and status, each batch's trace, the
// answer to a dispute and an amendment. One batch a group, so that groups are settled ahead
// and out of turn; days whose lines fall on either side of where the files
// are cut into pieces.
TEST(Day, SaysTheSameOnAnyNumberOfThreads) {
  struct {
    const char* scenario;
    std::string metro, bus;  // empty: the day writeDay makes, its bus file cut short
  } cases[] = {
      {"odd lines, ties, a journey too long, a file cut short", "", ""},
      {"no metro line, one bus line without a line end", "", "08:00 BUS IN 5 K7"},
      {"CR LF line ends, blank lines, more threads than lines", "\r\n08:00 METRO IN 5 K7\r\n\n",
       "  \n08:01 BUS OUT 2 K7\r\n08:02 BUS IN 1 K12\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    if (c.bus.empty()) {
      writeDay(b, 13, 300, true);
      b.write("day-bus.txt", b.readBytes("day-bus.txt") + "09:00 BUS IN 5 K7");
    } else {
      b.write("day-metro.txt", c.metro);
      b.write("day-bus.txt", c.bus);
    }
    const std::vector<std::string> oneBatchAGroup = {"FARE_SETTLE_DAY_GROUP_BATCHES=1"};
    std::string first;
    for (const char* threads : {"1", "2", "3", "8"}) {
      SCOPED_TRACE(std::string("--threads ") + threads);
      RunResult r =
          day(b, {"--threads", threads, "day-metro.txt", "day-bus.txt", "day"}, oneBatchAGroup);
      std::string said = std::to_string(r.status) + "\n" + r.out + r.err + ledgers(b, "day") +
                         b.readBytes("day/notes.txt") + b.readBytes("day/statement.csv");
      for (const char* n : {"1", "4", "9"}) {
        RunResult traced =
            day(b, {"--threads", threads, "--trace", n, "day-metro.txt", "day-bus.txt"});
        said += traced.out + traced.err;
      }
      for (const char* key : {"K7", "K12", "LONG"}) {
        RunResult disputed =
            day(b, {"--threads", threads, "--journey", key, "day-metro.txt", "day-bus.txt", "day"});
        said += disputed.out + disputed.err;
      }
      // Amended with a late tap, then the files as they were for the next run.
      const std::string metro = b.readBytes("day-metro.txt");
      b.write("day-metro.txt", metro + "23:59 METRO OUT 9 K12\n");
      RunResult amended =
          day(b, {"--threads", threads, "--amend", "day-metro.txt", "day-bus.txt", "day"});
      said += std::to_string(amended.status) + "\n" + amended.out + amended.err +
              ledgers(b, "day") + b.readBytes("day/amendment-1.txt");
      EXPECT_LE(amended.status, 1) << amended.err;
      b.write("day-metro.txt", metro);
      for (size_t at; (at = said.find("run at ")) != std::string::npos;)
        said.erase(at, said.find('\n', at) - at);
      fs::rename(b.path("day"), b.path(std::string("day-") + threads));
      if (first.empty())
        first = said;
      else
        EXPECT_EQ(said, first);
    }
  }
}

}  // namespace
