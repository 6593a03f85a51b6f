// A day's taps: fare-settle-split's batches of whole journeys, and
// fare-settle-batches settling each batch once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"

namespace {

namespace fs = std::filesystem;

// The journey key as a run reads it: the fifth blank-separated field.
std::string keyOf(const std::string& line) {
  size_t at = 0;
  std::string field;
  for (int f = 0; f < 5; f++) {
    at = line.find_first_not_of(' ', at);
    size_t end = line.find(' ', at);
    field = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end;
  }
  if (!field.empty() && field.back() == '\r') field.pop_back();
  return field;
}

RunResult split(const Batch& b, const std::vector<const char*>& extra = {}) {
  std::vector<const char*> args = builtProgram(FARE_SETTLE_SPLIT);
  args.insert(args.end(), {"day-metro.txt", "day-bus.txt", "day"});
  args.insert(args.end(), extra.begin(), extra.end());
  return b.runCommand(args);
}

// FARE_SETTLE for the runner: the built program, or under an emulator a
// script beside the tree that starts it through the emulator.
std::string fareSettleForRunner(const Batch& b) {
  const std::string program = FARE_SETTLE_BIN;
  if (!kEmulated) return "FARE_SETTLE=" + program;
  b.write("fare-settle",
          std::string("#!/bin/sh\nexec ") + FARE_SETTLE_EMULATOR + " " + program + " \"$@\"\n");
  fs::permissions(b.path("fare-settle"), fs::perms::owner_all);
  return "FARE_SETTLE=" + b.path("fare-settle");
}

// fare-settle-batches ARGS..., started or run here.
std::vector<const char*> runner(const std::string& fareSettle, std::vector<const char*> args) {
  std::vector<const char*> command = builtProgram(FARE_SETTLE_BATCHES);
  command.insert(command.begin(), {"env", fareSettle.c_str()});
  args.insert(args.begin(), command.begin(), command.end());
  return args;
}

RunResult settle(const Batch& b, const std::vector<const char*>& args) {
  return b.runCommand(runner(fareSettleForRunner(b), args));
}

// Checks every invariant of a split tree against the day it came from:
// each stored line in one place, byte for byte, in its file's order, every
// journey whole in one batch of at most 100 taps, the map right. Sets
// *count to the number of batches.
void expectWholeJourneys(const Batch& b, const std::string& scenario, size_t* count) {
  const std::string sources[2] = {"day-metro.txt", "day-bus.txt"};
  const std::string names[2] = {"metro.txt", "bus.txt"};
  std::vector<std::string> day[2] = {linesOf(b.readBytes(sources[0])),
                                     linesOf(b.readBytes(sources[1]))};
  std::vector<std::string> batches;
  for (const auto& entry : fs::directory_iterator(b.path("day")))
    if (entry.path().filename() != "too-long" && entry.is_directory())
      batches.push_back("day/" + entry.path().filename().string());
  std::sort(batches.begin(), batches.end());
  *count = batches.size();
  std::map<std::string, std::string> batchOfKey;
  std::set<std::pair<int, size_t>> placed;
  for (const std::string& dir : batches) {
    // The map lists the batch's metro.txt lines, then its bus.txt lines.
    std::vector<std::string> origin = linesOf(b.readBytes(dir + "/origin.txt"));
    size_t k = 0;
    for (int s = 0; s < 2; s++) {
      size_t last = 0;
      std::vector<std::string> lines = linesOf(b.readBytes(dir + "/" + names[s]));
      for (size_t i = 0; i < lines.size(); i++, k++) {
        std::string from = names[s] + ":" + std::to_string(i + 1) + " " + sources[s] + ":";
        ASSERT_LT(k, origin.size()) << scenario << ": " << dir;
        ASSERT_TRUE(origin[k].starts_with(from)) << scenario << ": " << origin[k];
        size_t number = std::stoul(origin[k].substr(from.size()));
        EXPECT_GT(number, last) << scenario << ": order in " << dir;
        last = number;
        EXPECT_EQ(lines[i], day[s][number - 1]) << scenario << ": " << origin[k];
        EXPECT_TRUE(placed.insert({s, number}).second) << scenario << ": twice " << origin[k];
        auto [batch, added] = batchOfKey.try_emplace(keyOf(lines[i]), dir);
        EXPECT_EQ(batch->second, dir) << scenario << ": journey " << batch->first << " split";
      }
    }
    EXPECT_EQ(k, origin.size()) << scenario << ": " << dir;
    EXPECT_LE(k, 100u) << scenario << ": " << dir;
    EXPECT_EQ(fs::read_symlink(b.path(dir + "/busCompany.txt")), "../busCompany.txt") << scenario;
  }
}

// A random day of `journeys` journeys of 1 to 6 taps, interleaved in time,
// each tap in the file of its mode.
void writeRandomDay(const Batch& b, unsigned seed, int journeys) {
  std::mt19937 random(seed);
  std::vector<std::pair<int, std::string>> taps;  // minute, line
  for (int j = 0; j < journeys; j++) {
    int start = static_cast<int>(random() % 900) + 300, n = 1 + static_cast<int>(random() % 6);
    for (int t = 0; t < n; t++) {
      int minute = start + t * static_cast<int>(random() % 40);
      bool metro = random() % 2 == 0;
      char line[64];
      std::snprintf(line, sizeof line, "%02d:%02d %s %s %d J%d\n", minute / 60 % 24, minute % 60,
                    metro ? "METRO" : "BUS", t % 2 == 0 ? "IN" : "OUT",
                    static_cast<int>(random() % 300), j);
      taps.push_back({minute * 2 + (metro ? 0 : 1), line});
    }
  }
  std::sort(taps.begin(), taps.end());
  std::string metro, bus;
  for (const auto& [order, line] : taps) (order % 2 == 0 ? metro : bus) += line;
  b.write("day-metro.txt", metro);
  b.write("day-bus.txt", bus);
}

TEST(Split, BatchesHoldWholeJourneysByteForByte) {
  std::string longJourney;
  for (int i = 0; i < 130; i++)
    longJourney += "07:" + std::to_string(10 + i % 50) + " BUS IN 1 LONG\n";
  struct Case {
    const char* scenario;
    std::string metro, bus;
    std::string err;  // the split's standard error
    int batches;
    std::string tooLong = "";  // bus lines set apart in too-long/
  } cases[] = {
      {"the worked example", "08:10 METRO IN 250 A1\n08:40 METRO OUT 0 A1\n09:00 BUS IN 150 A1\n",
       "07:00 BUS IN 200 B2\n07:30 BUS OUT 50 B2\n", "", 1},
      {"odd bytes: named as a run names them, refused lines in no batch",
       "\xEF\xBB\xBF"
       "09:00 BUS IN 150 A1\r\n08:10 METRO IN 1,250 A1\r\n=1+1 BUS IN 1 A1\r\n   \r\n"
       "08:40 METRO OUT 0 A1",
       "07:00 BUS IN 200 B\xC3\xA9\n" + std::string(60, 'x') + "\n",
       "day-metro.txt:1: time is not HH:MM; ordered as 0:00\n"
       "day-metro.txt:2: amount is not a whole number; taken as 1\n"
       "day-metro.txt:3: skipped: time begins with =, +, - or @\n"
       "day-bus.txt:2: skipped: line longer than 48 characters\n",
       1},
      {"a journey longer than a run", "08:10 METRO IN 250 A1\n", longJourney,
       "LONG: 130 taps; a run holds 100\n", 1, longJourney},
  };
  for (const Case& c : cases) {
    Batch b;
    b.write("day-metro.txt", c.metro);
    b.write("day-bus.txt", c.bus);
    RunResult r = split(b);
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(r.err, c.err) << c.scenario;
    size_t batches = 0;
    expectWholeJourneys(b, c.scenario, &batches);
    EXPECT_EQ(batches, static_cast<size_t>(c.batches)) << c.scenario;
    EXPECT_EQ(b.readBytes("day/too-long/bus.txt"), c.tooLong) << c.scenario;
  }
}

// Each journey settled by a run of its own: what one run over the whole
// day would append, had it room, since journeys share nothing.
std::vector<std::string> settledJourneyByJourney(const Batch& day) {
  std::map<std::string, std::string> taps[2];
  const char* const sources[2] = {"day-metro.txt", "day-bus.txt"};
  for (int s = 0; s < 2; s++)
    for (const std::string& line : linesOf(day.readBytes(sources[s])))
      taps[s][keyOf(line)] += line + "\n";
  std::set<std::string> keys;
  for (const auto& file : taps)
    for (const auto& [key, lines] : file) keys.insert(key);
  std::vector<std::string> ledger;
  for (const std::string& key : keys) {
    Batch one;
    one.write("metro.txt", taps[0][key]);
    one.write("bus.txt", taps[1][key]);
    EXPECT_EQ(one.run().status, 0);
    for (const char* name : {"busCompany.txt", "metroCompany.txt"})
      for (const std::string& line : linesOf(one.readBytes(name))) ledger.push_back(line);
  }
  std::sort(ledger.begin(), ledger.end());
  return ledger;
}

TEST(Split, SettlesEachJourneyAsOneRunOverTheDayWould) {
  for (unsigned seed = 1; seed <= 3; seed++) {
    Batch b;
    writeRandomDay(b, seed, 60);  // about 210 taps: three batches
    ASSERT_EQ(split(b).status, 0);
    size_t batches = 0;
    expectWholeJourneys(b, "seed " + std::to_string(seed), &batches);
    EXPECT_GE(batches, 2u);
    RunResult r = settle(b, {"-j", "2", "day"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> settled = linesOf(b.readBytes("day/busCompany.txt"));
    for (const std::string& line : linesOf(b.readBytes("day/metroCompany.txt")))
      settled.push_back(line);
    std::sort(settled.begin(), settled.end());
    EXPECT_EQ(settled, settledJourneyByJourney(b)) << "seed " << seed;
  }
}

// DIR as the operator gave it: absent, an empty directory of theirs (filled
// in place, its mode kept), or anything else (refused, left as it was).
TEST(Split, WritesAFinishedTreeOnlyWhereDirWasAbsentOrEmpty) {
  const std::string refusal = "fare-settle-split: day: exists and is not an empty directory\n";
  struct {
    const char* scenario;
    bool makeDir;
    const char* file;  // a file already in DIR
    fs::perms mode;
    int status;
  } cases[] = {
      {"absent", false, nullptr, fs::perms::none, 0},
      {"an empty directory made for a group", true, nullptr,
       fs::perms::set_gid | fs::perms::owner_all | fs::perms::group_all, 0},
      {"not empty", true, "keep", fs::perms::owner_all, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    b.write("day-metro.txt", "08:10 METRO IN 250 A1\n");
    b.write("day-bus.txt", "");
    if (c.makeDir) {
      b.mkdir("day");
      fs::permissions(b.path("day"), c.mode);
    }
    if (c.file != nullptr) b.write(std::string("day/") + c.file, "x");
    RunResult r = split(b);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.status == 0 ? "" : refusal);
    EXPECT_EQ(b.exists("day/split-finished"), c.status == 0);
    if (c.makeDir) {
      EXPECT_EQ(fs::status(b.path("day")).permissions(), c.mode);
    }
    if (c.file != nullptr) {
      EXPECT_EQ(b.readBytes(std::string("day/") + c.file), "x");
    }
    size_t entries = 0;  // nothing beside DIR: the tree was renamed into place
    for (const auto& entry : fs::directory_iterator(b.dir())) entries += entry.is_directory();
    EXPECT_EQ(entries, 1u);
  }
}

long long sumOfFees(const std::string& ledger) {
  long long sum = 0;
  for (const std::string& line : linesOf(ledger))
    sum += std::stoll(line.substr(line.rfind(',') + 1));
  return sum;
}

// The first block indented by four spaces after `marker` in the README.
std::string readmeBlock(const std::string& marker) {
  std::ifstream in(FARE_SETTLE_README, std::ios::binary);
  std::string readme((std::istreambuf_iterator<char>(in)), {});
  size_t at = readme.find(marker);
  if (at == std::string::npos) {
    ADD_FAILURE() << "the README has no " << marker;
    return "";
  }
  at = readme.find("\n\n    ", at);
  std::string block;
  for (const std::string& line : linesOf(readme.substr(at + 2))) {
    if (!line.starts_with("    ")) break;
    block += line.substr(4) + "\n";
  }
  return block;
}

// The README's own correction of the worked example settled without a
// refused line, run as it is written: the ledgers net to the batch settled right.
TEST(Corrections, TheReadmesCorrectionNetsToTheRightMoney) {
  const std::string right = "08:10 METRO IN 250 A1\n08:40 METRO OUT 0 A1\n09:00 BUS IN 150 A1\n";
  const std::string bus = "07:00 BUS IN 200 B2\n07:30 BUS OUT 50 B2\n";
  Batch settledRight, corrected;
  settledRight.write("metro.txt", right);
  settledRight.write("bus.txt", bus);
  settledRight.run();
  corrected.write("metro.txt",
                  "08:10 METRO IN 250 A1\n=08:40 METRO OUT 0 A1\n09:00 BUS IN 150 A1\n");
  corrected.write("bus.txt", bus);
  EXPECT_EQ(corrected.run().err, "metro.txt:2: skipped: time begins with =, +, - or @\n");
  EXPECT_EQ(corrected.readBytes("metroCompany.txt"), "08:10,METRO,400\n");
  corrected.write("metro.txt", readmeBlock("The correction\nbatch's `metro.txt` is"));
  corrected.write("bus.txt", "");
  EXPECT_EQ(corrected.run().err, "");
  for (const char* ledger : {"busCompany.txt", "metroCompany.txt"})
    EXPECT_EQ(sumOfFees(corrected.readBytes(ledger)), sumOfFees(settledRight.readBytes(ledger)))
        << ledger;
}

// Marks day/ as a finished split, as fare-settle-split does last.
void markFinished(const Batch& b, int batches) {
  b.write("day/split-finished", "fare-settle-split finished\nbatches " + std::to_string(batches) +
                                    "\ntaps 0\nlines named 0\nlines refused 0\n"
                                    "journeys too long 0\ntaps too long 0\n");
}

// A batch directory as the split makes it, holding `metro` and its links
// to the ledgers in day/.
void makeBatch(const Batch& b, int number, const std::string& metro) {
  char name[16];
  std::snprintf(name, sizeof name, "day/%06d", number);
  fs::create_directories(b.path(name));
  b.write(std::string(name) + "/metro.txt", metro);
  b.write(std::string(name) + "/bus.txt", "");
  for (const char* ledger : {"busCompany.txt", "metroCompany.txt"})
    fs::create_symlink(std::string("../") + ledger, b.path(std::string(name) + "/" + ledger));
  markFinished(b, number);
}

std::string summary(int settled, int notes, int stopped, int claimed, int notStarted,
                    int notClaimed) {
  return "fare-settle-batches: " + std::to_string(settled) + " settled, " + std::to_string(notes) +
         " settled with notes, " + std::to_string(stopped) + " stopped, " +
         std::to_string(claimed) + " claimed but not settled, " + std::to_string(notStarted) +
         " not started, " + std::to_string(notClaimed) + " not claimed\n";
}

TEST(Settle, TwoCopiesAtOnceRunEachBatchOnce) {
  Batch b;
  std::vector<std::string> expect;
  for (int i = 1; i <= 200; i++) {
    makeBatch(b, i, "08:10 METRO IN " + std::to_string(i) + " J\n");
    expect.push_back("08:10,METRO," + std::to_string(i));
  }
  std::vector<Started> runs;
  const std::string fareSettle = fareSettleForRunner(b);
  for (int copy = 0; copy < 2; copy++)
    runs.push_back(b.startCommand(runner(fareSettle, {"-j", "3", "day"})));
  for (const Started& run : runs) Batch::finish(run);
  std::vector<std::string> lines = linesOf(b.readBytes("day/metroCompany.txt"));
  std::sort(lines.begin(), lines.end());
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(lines, expect);
  RunResult again = settle(b, {"day"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(linesOf(b.readBytes("day/metroCompany.txt")).size(), 200u);
}

TEST(Settle, EachBatchHasAnOutcomeAndTheSummarySaysWhatNeedsALook) {
  Batch b;
  makeBatch(b, 1, "08:10 METRO IN 250 A1\n");
  makeBatch(b, 2, "08:20 METRO IN 1.5 B1\n");
  makeBatch(b, 3, "08:30 METRO IN 7 C1\n");
  b.mkdir("day/000003/claimed");  // as a runner that died after its claim leaves it
  // A run past its time limit, waiting for a ledger of its own that is locked.
  makeBatch(b, 4, "08:40 METRO IN 9 D1\n");
  fs::remove(b.path("day/000004/metroCompany.txt"));
  b.write("day/000004/metroCompany.txt", "");
  HeldLock lock(b.path("day/000004/metroCompany.txt"));
  ASSERT_TRUE(lock.held());
  RunResult r = settle(b, {"-j", "1", "--timeout", "1", "day"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(b.readBytes("day/000001/outcome"), "settled\n");
  EXPECT_EQ(b.readBytes("day/000002/outcome"), "settled with notes\n");
  EXPECT_FALSE(b.exists("day/000003/outcome"));
  EXPECT_EQ(b.readBytes("day/000004/outcome"), "stopped (time limit of 1 s)\n");
  EXPECT_EQ(r.err,
            "day/000002: settled with notes\n"
            "  metro.txt:1: amount is not a whole number; taken as 1\n"
            "day/000003: claimed, not settled (running elsewhere, or its runner died)\n"
            "day/000004: stopped (time limit of 1 s)\n"
            "  metroCompany.txt: 08:40,METRO,9: not appended: stopped by a signal: Terminated\n" +
                summary(1, 1, 1, 1, 0, 0));
  EXPECT_EQ(b.readBytes("day/metroCompany.txt"), "08:10,METRO,250\n08:20,METRO,1\n");
}

// Whether a day's tree can be put on a tmpfs of its own (root, Linux).
bool mountTmpfs(const std::string& dir, const char* options) {
#ifdef __linux__
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
#else
  (void)dir, (void)options;
  return false;
#endif
}

void unmount(const std::string& dir) {
#ifdef __linux__
  umount2(dir.c_str(), MNT_DETACH);
#else
  (void)dir;
#endif
}

// The runner's outcomes and exit statuses: every batch counted once, every
// failure said, and nothing settled reads as a failure.
TEST(Settle, OutcomesAndStatusesSayWhatHappened) {
  enum During : unsigned char { NOTHING, FULL_DISK, STOP_SIGNAL, MOVED_IN_FLIGHT };
  const std::string one = "08:10 METRO IN 250 A1\n";
  struct Case {
    const char* scenario;
    std::function<void(const Batch&)> setUp;  // after two batches are made in day/
    const char* dir = "day";
    During during = NOTHING;
    bool unstartable = false;  // the program's file exists but cannot be started
    int status = 1;
    std::string err;  // all of it; with FULL_DISK, lines it must hold
    std::string ledger = "";
  } cases[] = {
      {"an empty DIR", [](const Batch& b) { b.mkdir("empty"); }, "empty", NOTHING, false, 2,
       "fare-settle-batches: empty: not a finished split\n"},
      {"a batch given as DIR", [](const Batch&) {}, "day/000001", NOTHING, false, 2,
       "fare-settle-batches: day/000001: not a finished split\n"},
      {"an unfinished tree", [](const Batch& b) { fs::remove(b.path("day/split-finished")); },
       "day", NOTHING, false, 2, "fare-settle-batches: day: not a finished split\n"},
      {"a split that made no batch",
       [](const Batch& b) {
         fs::remove_all(b.path("day/000001"));
         fs::remove_all(b.path("day/000002"));
         markFinished(b, 0);
       },
       "day", NOTHING, false, 1, "day: holds no batch\n" + summary(0, 0, 0, 0, 0, 0)},
      {"a batch without its ledger links",
       [](const Batch& b) { fs::remove(b.path("day/000001/busCompany.txt")); }, "day", NOTHING,
       false, 1,
       "day/000001: not started: its ledger link busCompany.txt is missing\n" +
           summary(1, 0, 0, 0, 1, 0),
       "08:10,METRO,7\n"},
      {"a program that cannot be started", [](const Batch&) {}, "day", NOTHING, true, 1,
       "day/000001: not started: PROGRAM: No such file or directory\n"
       "day/000002: not started: PROGRAM: No such file or directory\n" +
           summary(0, 0, 0, 0, 2, 0)},
      {"a signal to the runner with a run in flight",
       [](const Batch& b) {
         fs::remove(b.path("day/metroCompany.txt"));
         b.write("day/metroCompany.txt", "");
       },
       "day", STOP_SIGNAL, false, 128 + SIGTERM,
       "day/000001: stopped (signal 15)\n"
       "  metroCompany.txt: 08:10,METRO,250: not appended: stopped by a signal: Terminated\n"
       "day/000002: not claimed\n" +
           summary(0, 0, 1, 0, 0, 1)},
      {"a batch settled with notes",
       [](const Batch& b) { b.write("day/000002/metro.txt", "08:10 METRO IN 1.5 A2\n"); }, "day",
       NOTHING, false, 1,
       "day/000002: settled with notes\n"
       "  metro.txt:1: amount is not a whole number; taken as 1\n" +
           summary(1, 1, 0, 0, 0, 0),
       "08:10,METRO,250\n08:10,METRO,1\n"},
      {"a batch directory moved away while its run waits for the ledger",
       [](const Batch& b) {
         fs::remove(b.path("day/metroCompany.txt"));
         b.write("day/metroCompany.txt", "");
       },
       "day", MOVED_IN_FLIGHT, false, 1,
       "fare-settle-batches: day/000001: outcome not written: No such file or directory\n"
       "day/000001: claimed, not settled (its directory vanished while its run was in flight; "
       "the run was settled)\n" +
           summary(1, 0, 0, 1, 0, 0),
       "08:10,METRO,250\n08:10,METRO,7\n"},
      {"a full disk under the outcomes", [](const Batch&) {}, "day", FULL_DISK, false, 1,
       "day/000001: outcome not written: No space left on device\n"
       "day/000001: claimed, not settled (its outcome could not be written: No space left on "
       "device; the run was settled with notes)\n"
       "  metroCompany.txt: 08:10,METRO,250: not appended: No space left on device\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    if (c.during == FULL_DISK) {
      b.mkdir("day");
      if (!mountTmpfs(b.path("day"), "size=64k")) {
        std::printf("%s: cannot mount a tmpfs here (needs root); not checked\n", c.scenario);
        continue;
      }
    }
    makeBatch(b, 1, one);
    makeBatch(b, 2, "08:10 METRO IN 7 A2\n");
    c.setUp(b);
    std::string fareSettle = fareSettleForRunner(b);
    std::string program = b.path("unstartable");
    if (c.unstartable) {
      b.write("unstartable", "#!/nonexistent/interpreter\n");
      fs::permissions(program, fs::perms::owner_all);
      fareSettle = "FARE_SETTLE=" + program;
    }
    std::vector<const char*> args = runner(fareSettle, {"-j", "1", c.dir});
    RunResult r;
    if (c.during == STOP_SIGNAL || c.during == MOVED_IN_FLIGHT) {
      std::optional<HeldLock> lock;
      lock.emplace(b.path("day/metroCompany.txt"));
      ASSERT_TRUE(lock->held());
      Started runs = b.startCommand(args);
      // The trace is whole before the first ledger line: the run then waits for the lock.
      std::error_code none;
      for (int i = 0; i < 1000 && fs::file_size(b.path("day/000001/trace.cp949"), none) + 1 <= 1;
           i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (c.during == MOVED_IN_FLIGHT) {
        fs::rename(b.path("day/000001"), b.path("day/moved"));  // the ledger links still resolve
        lock.reset();
      } else {
        Batch::signal(runs, SIGTERM);
      }
      r = Batch::finish(runs);
    } else if (c.during == FULL_DISK) {
      b.write("day/filler", std::string(size_t{64} * 1024, 'f'));
      r = b.runCommand(args);
      unmount(b.path("day"));
    } else {
      r = b.runCommand(args);
    }
    EXPECT_EQ(r.status, c.status);
    std::string err = c.err;
    for (size_t at; (at = err.find("PROGRAM")) != std::string::npos;) err.replace(at, 7, program);
    if (c.during == FULL_DISK) {
      for (const std::string& line : linesOf(err))
        EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << line << "\n" << r.err;
      continue;
    }
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(b.exists("day/metroCompany.txt") ? b.readBytes("day/metroCompany.txt") : "",
              c.ledger);
    if (c.ledger.find("METRO,250") == std::string::npos) {  // batch 1 was not settled
      EXPECT_EQ(b.exists("day/000001/claimed"), c.status == 128 + SIGTERM);
    }
  }
}

// A claim that fails for every copy, injected into the runner's mkdir: the
// first claim of each batch fails as if another copy had it (as GlusterFS
// now and then answers both of two racing claims), or every claim is refused.
TEST(Settle, AClaimNoCopyGotIsTriedAgainAndOneRefusedIsSaid) {
  if (!straceRuns()) GTEST_SKIP() << "strace cannot run here, or follow this build";
  const std::string refused =
      "fare-settle-batches: day/000001: not claimed: day/000001/claimed: Permission denied\n";
  struct {
    const char* scenario;
    const char* inject;
    int status;
    std::string err, ledger;
  } cases[] = {
      {"lost to a race once", "inject=mkdir,mkdirat:error=EEXIST:when=1", 0,
       summary(1, 0, 0, 0, 0, 0), "08:10,METRO,250\n"},
      {"refused", "inject=mkdir,mkdirat:error=EACCES", 1,
       refused + refused + refused + "day/000001: not claimed\n" + summary(0, 0, 0, 0, 0, 1), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Batch b;
    makeBatch(b, 1, "08:10 METRO IN 250 A1\n");
    const std::string fareSettle = fareSettleForRunner(b);
    std::vector<const char*> args = runner(fareSettle, {"-j", "1", "day"});
    args.insert(args.begin() + 2,
                {"strace", "-o", "/dev/null", "-e", "trace=mkdir,mkdirat", "-e", c.inject});
    RunResult r = b.runCommand(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(b.exists("day/metroCompany.txt") ? b.readBytes("day/metroCompany.txt") : "",
              c.ledger);
  }
}

}  // namespace
