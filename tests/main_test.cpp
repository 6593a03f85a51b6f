// Whole runs of the built binary: trace, error reports, exit status, ledgers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"
#include "platform.h"
#include "records.h"

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

const char* const kMetroMissing = "지하철파일 위치를 확인\n: No such file or directory\n";
const char* const kBusMissing = "버스파일 위치를 확인\n: No such file or directory\n";

// Lines an earlier run left in the ledgers; no fault may lose them.
const char* const kEarlierBus = "06:00,BUS,100\n";
const char* const kEarlierMetro = "06:00,METRO,100\n";

void writeEarlierLedgers(const Batch& b) {
  b.write("busCompany.txt", kEarlierBus);
  b.write("metroCompany.txt", kEarlierMetro);
}

bool wholeLedgerLine(const std::string& line, const std::string& word) {
  size_t fee = line.rfind(',');
  if (fee == std::string::npos || fee < word.size() + 1) return false;
  if (line.compare(fee - word.size() - 1, word.size() + 1, "," + word) != 0) return false;
  size_t digits = fee + 1 + (line[fee + 1] == '-' ? 1 : 0);
  return digits < line.size() && line.find_first_not_of("0123456789", digits) == std::string::npos;
}

// Checks that the ledger still begins with what it held and that every line
// after that is whole; returns how many lines the run added.
int expectKeptAndWhole(const Batch& b, const std::string& name, const std::string& earlier,
                       const std::string& word) {
  std::string bytes = b.read(name);
  EXPECT_EQ(bytes.compare(0, earlier.size(), earlier), 0) << name;
  if (bytes.empty() || bytes.back() != '\n') {
    ADD_FAILURE() << name << " does not end with a whole line";
    return 0;
  }
  int added = 0;
  size_t at = earlier.size();
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    std::string line = bytes.substr(at, end - at);
    EXPECT_TRUE(wholeLedgerLine(line, word)) << name << ": " << line;
    at = end + 1;
    added++;
  }
  return added;
}

TEST(Run, NoInputFiles) {
  Batch b;
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, cp949("\n\n시간정렬 후 \nleng : 0\n"));
  EXPECT_EQ(r.err, cp949(std::string(kMetroMissing) + kBusMissing));
  EXPECT_FALSE(b.exists("busCompany.txt"));
  EXPECT_FALSE(b.exists("metroCompany.txt"));
}

// The five taps of the worked example, through the first ride dump.
const char* const kWorkedBuild =
    "!!!DIF\n첫번째:A1 두번째:B2\n"
    "\n\n시간정렬 후 \n"
    "\n0번쨰 : lt = 08:10\n0번쨰 : tr = 1\n0번쨰 : io = 0\n0번쨰 : bal = 250\n0번쨰 : ti = A1\n"
    "\n1번쨰 : lt = 08:40\n1번쨰 : tr = 1\n1번쨰 : io = 1\n1번쨰 : bal = 0\n1번쨰 : ti = A1\n"
    "\n2번쨰 : lt = 09:00\n2번쨰 : tr = 0\n2번쨰 : io = 0\n2번쨰 : bal = 150\n2번쨰 : ti = A1\n"
    "\n3번쨰 : lt = 07:00\n3번쨰 : tr = 0\n3번쨰 : io = 0\n3번쨰 : bal = 200\n3번쨰 : ti = B2\n"
    "\n4번쨰 : lt = 07:30\n4번쨰 : tr = 0\n4번쨰 : io = 1\n4번쨰 : bal = 50\n4번쨰 : ti = B2\n"
    "leng : 5\n"
    "TK:0\nSAME\nTK:1\nSAME\nTK:2\nDIFF\nTK:3\nSAME\nfinal SIZE 1TI:3  TK:3\n"
    "\n0번쨰 : lt = 08:10\n0번쨰 : tr = 1\n0번쨰 : fee = 250\n0번쨰 : fee = A1\n"
    "\n1번쨰 : lt = 09:00\n1번쨰 : tr = 0\n1번쨰 : fee = 150\n1번쨰 : fee = A1\n"
    "\n2번쨰 : lt = 07:00\n2번쨰 : tr = 0\n2번쨰 : fee = 250\n2번쨰 : fee = B2\n";

void writeWorkedExample(const Batch& b) {
  b.write("metro.txt", "08:10 METRO IN 250 A1\n08:40 METRO OUT 0 A1\n09:00 BUS IN 150 A1\n");
  b.write("bus.txt", "07:00 BUS IN 200 B2\n07:30 BUS OUT 50 B2\n");
}

// Apportionment and the second ride dump.
const char* const kWorkedSettle =
    "SAME\nDIFF\nSIZE:1  ai:1\ntotal:550\n"
    "\n0번쨰 : lt = 08:10\n0번쨰 : tr = 1\n0번쨰 : fee = 291\n0번쨰 : fee = A1\n"
    "\n1번쨰 : lt = 09:00\n1번쨰 : tr = 0\n1번쨰 : fee = 109\n1번쨰 : fee = A1\n"
    "\n2번쨰 : lt = 07:00\n2번쨰 : tr = 0\n2번쨰 : fee = 250\n2번쨰 : fee = B2\n";

TEST(Run, WorkedExampleEndToEnd) {
  Batch b;
  writeWorkedExample(b);
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, cp949(std::string(kWorkedBuild) + kWorkedSettle));
  const std::string end = LINE_END;  // the host's: CR LF on Windows
  EXPECT_EQ(b.readBytes("metroCompany.txt"), "08:10,METRO,291" + end);
  EXPECT_EQ(b.readBytes("busCompany.txt"), "09:00,BUS,109" + end + "07:00,BUS,250" + end);

  RunResult again = b.run();
  EXPECT_EQ(again.out, r.out);
  EXPECT_EQ(b.read("metroCompany.txt"), "08:10,METRO,291\n08:10,METRO,291\n");
  EXPECT_EQ(b.read("busCompany.txt"),
            "09:00,BUS,109\n07:00,BUS,250\n09:00,BUS,109\n07:00,BUS,250\n");
}

TEST(Run, LedgerFollowsTheModeWordNotTheFile) {
  Batch b;
  b.write("bus.txt", "07:00 METRO IN 12345 K1\n08:00 BUS IN -50 K2\n");
  b.write("metroCompany.txt", "earlier line\n");
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(b.read("metroCompany.txt"), "earlier line\n07:00,METRO,12345\n");
  EXPECT_EQ(b.read("busCompany.txt"), "08:00,BUS,-50\n");
}

TEST(Run, LedgerThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  struct Case {
    const char* scenario;
    void (*breakLedger)(const Batch&);
    const char* err;
  } cases[] = {
      {"a directory", [](const Batch& b) { b.mkdir("busCompany.txt"); }, "Is a directory\n"},
#ifndef _WIN32  // Windows has neither /dev/full nor FIFOs at a path
      {"a full device",
       [](const Batch& b) {
         std::filesystem::create_symlink("/dev/full", b.path("busCompany.txt"));
       },
       "No space left on device\n"},
      {"a FIFO with no reader",
       [](const Batch& b) { ASSERT_EQ(mkfifo(b.path("busCompany.txt").c_str(), 0600), 0); },
       "No such device or address\n"},
#endif
  };
  for (const Case& c : cases) {
    Batch b;
    writeWorkedExample(b);
    b.write("metroCompany.txt", kEarlierMetro);
    c.breakLedger(b);
    RunResult r = b.run();
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(r.err, "busCompany.txt: 09:00,BUS,109: not appended: " + std::string(c.err) +
                         "busCompany.txt: 07:00,BUS,250: not appended: " + c.err)
        << c.scenario;
    EXPECT_EQ(r.out, cp949(std::string(kWorkedBuild) + kWorkedSettle)) << c.scenario;
    EXPECT_EQ(b.read("metroCompany.txt"), std::string(kEarlierMetro) + "08:10,METRO,291\n")
        << c.scenario;
  }
}

TEST(Run, OnlyBusFileLoadsFromIndexZero) {
  Batch b;
  b.write("bus.txt", "07:00 BUS IN 200 B2\n");
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, cp949(kMetroMissing));
  EXPECT_EQ(r.out, cp949("\n\n시간정렬 후 \n"
                         "\n0번쨰 : lt = 07:00\n0번쨰 : tr = 0\n0번쨰 : io = 0\n"
                         "0번쨰 : bal = 200\n0번쨰 : ti = B2\n"
                         "leng : 1\n"
                         "\n0번쨰 : lt = 07:00\n0번쨰 : tr = 0\n0번쨰 : fee = 200\n"
                         "0번쨰 : fee = B2\n"
                         "\n0번쨰 : lt = 07:00\n0번쨰 : tr = 0\n0번쨰 : fee = 200\n"
                         "0번쨰 : fee = B2\n"));
  EXPECT_EQ(b.read("busCompany.txt"), "07:00,BUS,200\n");
}

TEST(Run, TapFileThatIsNoRegularFileIsReportedAndSkippedAtOnce) {
  // Windows describes opening a directory as a file as a denied access.
  const std::string directory = kWindows ? "Permission denied" : "Is a directory";
  struct Case {
    const char* scenario;
    void (*makeMetro)(const Batch&);
    std::string reason;
  } cases[] = {
      {"a directory", [](const Batch& b) { b.mkdir("metro.txt"); }, directory},
#ifndef _WIN32
      {"a FIFO nobody writes",
       [](const Batch& b) { ASSERT_EQ(mkfifo(b.path("metro.txt").c_str(), 0600), 0); },
       "not a regular file"},
      {"a link to an endless device",
       [](const Batch& b) { std::filesystem::create_symlink("/dev/zero", b.path("metro.txt")); },
       "not a regular file"},
#endif
  };
  for (const Case& c : cases) {
    Batch b;
    writeEarlierLedgers(b);
    c.makeMetro(b);
    b.write("bus.txt", "07:00 BUS IN 200 B2\n");
    auto started = std::chrono::steady_clock::now();
    RunResult r = b.run();
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    EXPECT_LT(seconds.count(), 1.0) << c.scenario;
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(r.err, cp949("지하철파일 위치를 확인\n: " + c.reason + "\n")) << c.scenario;
    EXPECT_NE(r.out.find("leng : 1\n"), std::string::npos) << c.scenario;
    EXPECT_EQ(b.read("busCompany.txt"), std::string(kEarlierBus) + "07:00,BUS,200\n") << c.scenario;
    EXPECT_EQ(b.read("metroCompany.txt"), kEarlierMetro) << c.scenario;
  }
}

TEST(Run, IntakeNamesEveryRefusedLineByFileAndNumber) {
  Batch b;
  b.write("metro.txt", std::string("08:10 METRO IN 250 A1\n"
                                   "08:10 METRO IN 250 A1 xxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
                                   "1:1,METRO,9999 BUS IN 5 A1\n"
                                   "08:00 BUS IN 1 \x1b[31mA1\n"
                                   "8:1 BUS IN 5 A1\r8:2 BUS IN 7 A1\r\n"
                                   "08:00 BUS IN 1 A1\r\r\n"
                                   "08:00 BUS IN 1 A1\x7f\n"
                                   "01234567890123456789 BUS IN 1 A1\n"
                                   "08:10 BUS IN 1 A1234567\n"
                                   "08:20 Tram out 5 A1\n"));
  b.write("bus.txt",
          "08:10 BUS\tIN 5 A1\x01\n07:00 BUS OUT 50 A1\n08:30 BUS sideways 5 A1\n"
          "\xEF\xBB\xBF"
          "09:00 BUS IN 150 B1\n09:10 BUS IN 1,250 B2\n=HYPERLINK(\"//x.y\") BUS IN 1 B3\n"
          "0810 Bus sideways 3OO B4\n   \r\n\r\n");
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  const std::string refusedInMetro =
      "metro.txt:2: skipped: line longer than 48 characters\n"
      "metro.txt:3: skipped: time holds a comma\n"
      "metro.txt:4: skipped: line holds a control byte\n"
      "metro.txt:5: skipped: line holds a control byte\n"
      "metro.txt:6: skipped: line holds a control byte\n"
      "metro.txt:7: skipped: line holds a control byte\n"
      "metro.txt:8: skipped: time longer than 19 characters\n"
      "metro.txt:9: skipped: journey key longer than 7 characters\n";
  const std::string refusedInBus = "bus.txt:1: skipped: line holds a control byte\n";
  const std::string formulaInBus = "bus.txt:6: skipped: time begins with =, +, - or @\n";
  // The trace says it in its own words; standard error names each line, in
  // field order, but blank ones.
  EXPECT_EQ(r.err, refusedInMetro +
                       "metro.txt:10: mode is neither BUS nor METRO; taken as BUS\n"
                       "metro.txt:10: direction is neither IN nor OUT; taken as IN\n" +
                       refusedInBus +
                       "bus.txt:3: direction is neither IN nor OUT; taken as IN\n"
                       "bus.txt:4: time is not HH:MM; ordered as 0:00\n"
                       "bus.txt:5: amount is not a whole number; taken as 1\n" +
                       formulaInBus +
                       "bus.txt:7: time is not HH:MM; ordered as 810:00\n"
                       "bus.txt:7: mode is neither BUS nor METRO; taken as BUS\n"
                       "bus.txt:7: direction is neither IN nor OUT; taken as IN\n"
                       "bus.txt:7: amount is not a whole number; taken as 3\n");
  std::string intake = r.out.substr(0, r.out.find("!!!DIF"));
  EXPECT_EQ(intake, refusedInMetro + cp949("BUS나 METRO가 아닙니다\nIN OUT 이 아닙니다\n") +
                        refusedInBus + cp949("IN OUT 이 아닙니다\n") + formulaInBus +
                        cp949("BUS나 METRO가 아닙니다\nIN OUT 이 아닙니다\n") +
                        "bus.txt:8: skipped: fewer than five fields\n"
                        "bus.txt:9: skipped: fewer than five fields\n");
  EXPECT_NE(r.out.find("leng : 7\n"), std::string::npos);
  // A1: 07:00 (50) + 08:10 (250), then 08:20 (5) + 08:30 (5); 310 shared as
  // 300 and 10. B1, B2 and B4 are journeys of one ride; the table's last
  // tap goes before the journey next to it.
  EXPECT_EQ(b.read("busCompany.txt"),
            "07:00,BUS,300\n08:20,BUS,10\n\xEF\xBB\xBF"
            "09:00,BUS,150\n0810,BUS,3\n09:10,BUS,1\n");
  EXPECT_FALSE(b.exists("metroCompany.txt"));
}

TEST(Run, FullTableAcrossBothFiles) {
  Batch b;
  std::string metro, bus;
  for (int i = 0; i < 60; i++) metro += "08:10 METRO IN 1 M\n";
  for (int i = 0; i < 43; i++) bus += "08:10 BUS IN 1 B\n";
  bus +=
      "08:10 BUS IN 1 \x1b"
      "B\n1:1,METRO,9 BUS IN 1 B\n";  // refused lines, were there room
  b.write("metro.txt", metro);
  b.write("bus.txt", bus);
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "bus.txt:41-45: not read: the tap table is full\n");
  EXPECT_NE(r.out.find("leng : 100\n"), std::string::npos);
  std::string full = cp949("터미널정보 최대치\n");
  std::string fullFive = full + full + full + full + full;
  std::string head = fullFive + cp949("!!!DIF\n첫번째:B 두번째:M\n\n\n시간정렬 후 \n");
  EXPECT_EQ(r.out.substr(0, head.size()), head);
}

// An argument never settles the batch: a help or version asked for in a
// batch directory whose ledgers are shared must not append it again.
TEST(Run, AnArgumentIsAnsweredAndSettlesNothing) {
  const std::string usage = "usage: fare-settle [--help | --version]\n";
  struct {
    const char* arg;
    int status;
    std::string outStart, err;
  } cases[] = {
      {"--help", 0, usage, ""},
      {"--version", 0, "fare-settle " FARE_SETTLE_VERSION "\n", ""},
      {"-x", 2, "", "fare-settle: unexpected argument: -x\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    Batch b;
    b.write("metro.txt", "08:10 METRO IN 250 A1\n");
    RunResult r = b.run({.arg = c.arg});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_FALSE(b.exists("metroCompany.txt"));
  }
}

// Hostile input, faults and concurrent runs.

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    n++;
  return n;
}

// Bytes that are mostly line ends, blanks and digits, so that they make
// many short lines with some fields, but otherwise anything.
std::string garbage(unsigned seed, size_t size) {
  std::mt19937 random(seed);
  std::string bytes;
  for (size_t i = 0; i < size; i++) {
    unsigned r = random() % 100;
    bytes += r < 8    ? '\n'
             : r < 25 ? ' '
             : r < 45 ? static_cast<char>('0' + random() % 10)
                      : static_cast<char>(random() % 256);
  }
  return bytes;
}

TEST(HostileInput, RefusedLinesKeepEarlierLedgersAndWholeLines) {
  struct Case {
    const char* scenario;
    std::string metro;
    std::string bus;
    std::vector<std::string> messages;  // stdout lines each expected exactly once
    int metroLines;                     // ledger lines the run adds, -1 when unknown
    int busLines;
  } cases[] = {
      {"NUL bytes",
       std::string("08:10 METRO IN 250 A1\n08:\0 METRO IN 1 A1\n\0\0\0\n", 43),
       "",
       {"metro.txt:2: skipped: line holds a NUL byte\n",
        "metro.txt:3: skipped: line holds a NUL byte\n"},
       1,
       0},
      {"a 10 KB line",
       "",
       std::string(10240, 'x') + "\n07:00 BUS IN 200 B2\n",
       {"bus.txt:1: skipped: line longer than 48 characters\n"},
       0,
       1},
      {"binary garbage", garbage(1, 65536), garbage(2, 65536), {}, -1, -1},
  };
  for (const Case& c : cases) {
    Batch b;
    writeEarlierLedgers(b);
    b.write("metro.txt", c.metro);
    b.write("bus.txt", c.bus);
    RunResult r = b.run();
    EXPECT_EQ(r.status, 0) << c.scenario;
    // Standard error names each refused line as the trace does (but blank
    // ones, which hold no tap), and nothing else.
    const std::string few = ": skipped: fewer than five fields";
    EXPECT_EQ(countOf(r.err, ": skipped: ") - countOf(r.err, few),
              countOf(r.out, ": skipped: ") - countOf(r.out, few))
        << c.scenario;
    EXPECT_LE(countOf(r.err, few), countOf(r.out, few)) << c.scenario;
    EXPECT_EQ(countOf(r.err, "\n"), countOf(r.err, ": skipped: ") + countOf(r.err, "; taken as ") +
                                        countOf(r.err, "; ordered as ") +
                                        countOf(r.err, ": not read: "))
        << c.scenario;
    for (const std::string& message : c.messages)
      EXPECT_EQ(countOf(r.out, message), 1u) << c.scenario << ": " << message;
    if (!c.messages.empty()) {
      EXPECT_EQ(countOf(r.out, ": skipped: "), c.messages.size()) << c.scenario;
    }
    int metro = expectKeptAndWhole(b, "metroCompany.txt", kEarlierMetro, "METRO");
    int bus = expectKeptAndWhole(b, "busCompany.txt", kEarlierBus, "BUS");
    if (c.metroLines >= 0) {
      EXPECT_EQ(metro, c.metroLines) << c.scenario;
    }
    if (c.busLines >= 0) {
      EXPECT_EQ(bus, c.busLines) << c.scenario;
    }
  }
}

TEST(HostileInput, MillionLineFileDropsEachLineOnceInLinearTime) {
  Batch b;
  writeEarlierLedgers(b);
  std::string line = "08:10 METRO IN 1 K\n";
  std::string metro;
  metro.reserve(line.size() * 1000000);
  for (int i = 0; i < 1000000; i++) metro += line;
  b.write("metro.txt", metro);
  b.write("bus.txt", "07:00 BUS IN 1 K\n");
  auto started = std::chrono::steady_clock::now();
  RunResult r = b.run();
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  EXPECT_LT(seconds.count(), 30.0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "metro.txt:101-1000000: not read: the tap table is full\n"
            "bus.txt:1: not read: the tap table is full\n");
  EXPECT_EQ(countOf(r.out, "FULL\n"), 999900u);
  EXPECT_EQ(countOf(r.out, cp949("터미널정보 최대치\n")), 1u);
  EXPECT_EQ(expectKeptAndWhole(b, "metroCompany.txt", kEarlierMetro, "METRO"), 50);
  EXPECT_EQ(b.read("busCompany.txt"), kEarlierBus);
}

// A batch of 100 journeys of one tap each: 100 rides, half of each mode.
std::string fullBatch(std::vector<std::string>* bus, std::vector<std::string>* metro) {
  std::string taps;
  for (int i = 0; i < TAP_CAPACITY; i++) {
    char time[32], line[96];
    std::snprintf(time, sizeof time, "%02d:%02d", 6 + i / 60, i % 60);
    const char* mode = i % 2 == 0 ? "BUS" : "METRO";
    std::snprintf(line, sizeof line, "%s %s IN %d J%d\n", time, mode, 1000 + i, i);
    taps += line;
    (i % 2 == 0 ? bus : metro)
        ->push_back(std::string(time) + "," + mode + "," + std::to_string(1000 + i));
  }
  return taps;
}

std::vector<std::string> sortedLines(const std::string& bytes) {
  std::vector<std::string> lines = linesOf(bytes);
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(ConcurrentRuns, ThirtyTwoRunsAppendEveryLineWhole) {
  const int runs = 32;
  Batch b;
  std::vector<std::string> bus, metro;
  b.write("metro.txt", fullBatch(&bus, &metro));
  b.write("bus.txt", "");
  for (const RunResult& r : b.runTogether(runs)) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  }
  std::vector<std::string> expectBus, expectMetro;
  for (int i = 0; i < runs; i++) {
    expectBus.insert(expectBus.end(), bus.begin(), bus.end());
    expectMetro.insert(expectMetro.end(), metro.begin(), metro.end());
  }
  std::sort(expectBus.begin(), expectBus.end());
  std::sort(expectMetro.begin(), expectMetro.end());
  EXPECT_EQ(sortedLines(b.read("busCompany.txt")), expectBus);
  EXPECT_EQ(sortedLines(b.read("metroCompany.txt")), expectMetro);
}

TEST(ConcurrentRuns, ARunWaitsWhileAnotherHoldsTheLedgerLock) {
  Batch b;
  writeWorkedExample(b);
  b.write("busCompany.txt", kEarlierBus);
  Started run = {};
  {
    HeldLock lock(b.path("busCompany.txt"));
    ASSERT_TRUE(lock.held());
    run = b.start();
    // The metro ride goes first, then the run reaches the locked bus ledger.
    for (int i = 0; i < 500 && b.read("metroCompany.txt").empty(); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Batch::running(run));
  }
  RunResult r = Batch::finish(run);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(b.read("busCompany.txt"), std::string(kEarlierBus) + "09:00,BUS,109\n07:00,BUS,250\n");
}

TEST(StoppedRuns, NameEveryRideNotAppendedAndEndByTheSignal) {
#ifdef _WIN32
  GTEST_SKIP() << "no signals to send on Windows";
#else
  const std::string bus = "busCompany.txt: ", first = "09:00,BUS,109", second = "07:00,BUS,250";
  auto bothNamed = [&](const std::string& name) {
    const std::string stopped = ": not appended: stopped by a signal: " + name + "\n";
    return bus + first + stopped + bus + second + stopped;
  };
  std::string manyLines;  // long enough to be read still when the signal comes
  for (int i = 0; i < 1000000; i++) manyLines += "08:10 METRO IN 1 K\n";
  struct Case {
    const char* scenario;
    int signal;
    bool waitingForTheLock;  // else stopped while reading a long metro.txt
    std::string err;
  } cases[] = {
      {"SIGTERM in the lock wait", SIGTERM, true, bothNamed("Terminated")},
      {"SIGINT in the lock wait", SIGINT, true, bothNamed("Interrupt")},
      {"SIGHUP in the lock wait", SIGHUP, true, bothNamed("Hangup")},
      {"SIGTERM while reading", SIGTERM, false,
       "metro.txt:101-1000000: not read: the tap table is full\n"
       "bus.txt:1-2: not read: the tap table is full\n"
       "no ride appended: stopped by a signal: Terminated\n"},
  };
  for (const Case& c : cases) {
    Batch b;
    writeWorkedExample(b);
    if (!c.waitingForTheLock) b.write("metro.txt", manyLines);
    b.write("busCompany.txt", kEarlierBus);
    HeldLock lock(b.path("busCompany.txt"));
    ASSERT_TRUE(lock.held());
    Started run = b.start();
    // Until the metro ride is in, or the trace has begun.
    for (int i = 0; i < 5000; i++) {
      std::error_code ignored;
      if (c.waitingForTheLock ? !b.read("metroCompany.txt").empty()
                              : std::filesystem::file_size(run.outPath, ignored) + 1 > 1)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (c.waitingForTheLock) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(Batch::running(run)) << c.scenario;
    Batch::signal(run, c.signal);
    RunResult r = Batch::finish(run);
    EXPECT_EQ(r.status, 128 + c.signal) << c.scenario;
    EXPECT_EQ(r.err, c.err) << c.scenario;
    // The whole trace, final ride table included, whatever stopped the run.
    if (c.waitingForTheLock) {
      EXPECT_EQ(r.out, cp949(std::string(kWorkedBuild) + kWorkedSettle)) << c.scenario;
      EXPECT_EQ(b.read("metroCompany.txt"), "08:10,METRO,291\n") << c.scenario;
    } else {
      EXPECT_TRUE(r.out.ends_with(cp949("49번쨰 : fee = K\n"))) << c.scenario;
      EXPECT_FALSE(b.exists("metroCompany.txt")) << c.scenario;
    }
    EXPECT_EQ(b.read("busCompany.txt"), kEarlierBus) << c.scenario;
  }
#endif  // _WIN32
}

TEST(LedgerFaults, FileSizeLimitAtEveryOffsetLeavesOnlyWholeLines) {
  if (!hostCan({.fileSizeLimit = 0})) GTEST_SKIP() << "no file-size limit on this host";
  // Earlier lines fill both ledgers to 4480 bytes, past the trace's size, so
  // the limit only ever falls inside a ledger line.
  std::string bus, metro;
  for (int i = 0; i < 320; i++) bus += kEarlierBus;
  for (int i = 0; i < 280; i++) metro += kEarlierMetro;
  ASSERT_EQ(bus.size(), metro.size());
  for (size_t limit = bus.size(); limit <= bus.size() + 30; limit++) {
    Batch b;
    writeWorkedExample(b);
    b.write("busCompany.txt", bus);
    b.write("metroCompany.txt", metro);
    RunResult r = b.run({.fileSizeLimit = static_cast<long long>(limit)});
    // The rides in order: each lands whole while it fits, or is reported.
    std::string expectBus = bus, expectMetro = metro, expectErr;
    const struct {
      std::string* ledger;
      std::string name, line;
    } rides[] = {{&expectMetro, "metroCompany.txt", "08:10,METRO,291\n"},
                 {&expectBus, "busCompany.txt", "09:00,BUS,109\n"},
                 {&expectBus, "busCompany.txt", "07:00,BUS,250\n"}};
    for (const auto& ride : rides) {
      if (ride.ledger->size() + ride.line.size() <= limit)
        *ride.ledger += ride.line;
      else
        expectErr += ride.name + ": " + ride.line.substr(0, ride.line.size() - 1) +
                     ": not appended: File too large\n";
    }
    EXPECT_EQ(r.status, 0) << limit;
    EXPECT_EQ(r.err, expectErr) << limit;
    EXPECT_EQ(b.read("busCompany.txt"), expectBus) << limit;
    EXPECT_EQ(b.read("metroCompany.txt"), expectMetro) << limit;
  }
}

TEST(LedgerFaults, LedgersStayExactWhateverSurroundsTheRun) {
  const char* const torn = ": last line is unfinished; new lines start on a line of their own\n";
  struct Case {
    const char* scenario;
    RunOptions options;
    std::string bus, metro;  // the ledgers before the run
    std::string err;
    long long hole = 0;  // bytes of a sparse hole before each ledger's lines
  } cases[] = {
      {"stdin and stdout closed",
       {.closeStdin = true, .closeStdout = true},
       kEarlierBus,
       kEarlierMetro,
       ""},
      {"stdout on a full device",
       {.stdoutTo = "/dev/full"},
       kEarlierBus,
       kEarlierMetro,
       "standard output: No space left on device\n"},
      {"stdout a pipe nobody reads",
       {.stdoutPipeWithNoReader = true},
       kEarlierBus,
       kEarlierMetro,
       "standard output: Broken pipe\n"},
      {"unfinished last lines: a killed run, a hand edit",
       {},
       "06:00,BUS,1",
       "hand edit",
       std::string("metroCompany.txt") + torn + "busCompany.txt" + torn},
      // Past what 32 bits of offset hold, signed or not.
      {"ledgers past 4 GiB", {}, kEarlierBus, kEarlierMetro, "", (4LL << 30) + 1},
  };
  for (const Case& c : cases) {
    Batch b;
    // A hole is sparse on the file systems of Linux, written out whole on NTFS;
    // where the file system refuses it, the case is not tried.
    if (!hostCan(c.options) || (c.hole > 0 && kWindows) ||
        !b.write("busCompany.txt", c.bus, c.hole) ||
        !b.write("metroCompany.txt", c.metro, c.hole)) {
      std::printf("not on this host: %s\n", c.scenario);
      continue;
    }
    writeWorkedExample(b);
    RunResult r = b.run(c.options);
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(r.err, c.err) << c.scenario;
    // Every earlier byte stays; an unfinished line is closed, never glued to.
    auto closed = [](const std::string& s) { return s.back() == '\n' ? s : s + "\n"; };
    EXPECT_EQ(b.read("busCompany.txt", c.hole), closed(c.bus) + "09:00,BUS,109\n07:00,BUS,250\n")
        << c.scenario;
    EXPECT_EQ(b.read("metroCompany.txt", c.hole), closed(c.metro) + "08:10,METRO,291\n")
        << c.scenario;
  }
}

TEST(LedgerFaults, EachLedgerIsFlushedOnceAndTheDirectoryHoldingACreatedOne) {
  if (!straceRuns())
    GTEST_SKIP() << "strace cannot run here, or follow a sanitized or emulated build";
  struct Case {
    const char* scenario;
    bool earlierLedgers;
    const char* linkedTo;  // a directory the ledgers in the working directory link into
    std::vector<std::string> flushed;
  } cases[] = {
      {"ledgers created by the run", false, nullptr, {"/busCompany.txt", "/metroCompany.txt", ""}},
      {"ledgers already there", true, nullptr, {"/busCompany.txt", "/metroCompany.txt"}},
      {"links to ledgers not there yet",
       false,
       "shared",
       {"/shared/busCompany.txt", "/shared/metroCompany.txt", "/shared"}},
  };
  for (const Case& c : cases) {
    Batch b;
    writeWorkedExample(b);
    if (c.earlierLedgers) writeEarlierLedgers(b);
    if (c.linkedTo != nullptr) {
      b.mkdir(c.linkedTo);
      for (const char* name : {"busCompany.txt", "metroCompany.txt"})
        std::filesystem::create_symlink(std::string(c.linkedTo) + "/" + name, b.path(name));
    }
    // strace -y names each descriptor's file: fsync(3</tmp/.../busCompany.txt>) = 0
    RunResult r = b.runCommand({"strace", "-y", "-e", "trace=fsync", FARE_SETTLE_BIN});
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(countOf(r.err, "fsync("), c.flushed.size()) << c.scenario << "\n" << r.err;
    const std::string dir = "<" + std::filesystem::canonical(b.dir()).string();
    for (const std::string& path : c.flushed)
      EXPECT_EQ(countOf(r.err, std::string(dir).append(path).append(">")), 1u) << c.scenario << "\n"
                                                                               << r.err;
    EXPECT_EQ(countOf(b.read("busCompany.txt"), "09:00,BUS,109"), 1u) << c.scenario;
  }
}

// Faults no test can force from outside, injected by strace into the calls
// on busCompany.txt, or on metro.txt as it is read.
TEST(LedgerFaults, InjectedFaultsNameEachRideAndNeverGlue) {
  if (!straceRuns())
    GTEST_SKIP() << "strace cannot run here, or follow a sanitized or emulated build";
  const std::string earlier = kEarlierBus, bus = "busCompany.txt: ", first = "09:00,BUS,109",
                    second = "07:00,BUS,250";
  std::string big;  // larger than the trace, so that a file-size limit only bites the ledger
  for (int i = 0; i < 320; i++) big += earlier;
  // Both bus rides named alike; a short write of the first under the limit.
  auto both = [&](const std::string& what) {
    return bus + first + ": " + what + "\n" + bus + second + ": " + what + "\n";
  };
  auto shortWrite = [&](const std::string& whyItStays) {
    return bus + first + ": not appended: File too large\n" + bus +
           "part of a line stays at its end: " + whyItStays + "\n" + bus +
           "last line is unfinished; new lines start on a line of their own\n" + bus + second +
           ": not appended: File too large\n";
  };
  struct Case {
    const char* scenario;
    const char* inject;
    std::string ledger;  // before the run
    long long fileSizeLimit;
    std::string err, after;
    const char* on = "busCompany.txt";  // relative to the batch, or absolute
    const char* metro = nullptr;        // in place of the worked example's
    bool closeStderr = false;
  } cases[] = {
      {"last byte unreadable", "inject=pread64:error=EIO", "07:02,MET", -1,
       both("not appended: Input/output error"), "07:02,MET"},
      {"close fails after the write", "inject=close:error=EIO", earlier, -1,
       both("appended, but closing the ledger failed: Input/output error"),
       earlier + first + "\n" + second + "\n"},
      {"lock refused", "inject=fcntl:error=ENOLCK", earlier, -1,
       bus + "appended without a lock: No locks available\n",
       earlier + first + "\n" + second + "\n"},
      {"cut-back fails after a short write", "inject=ftruncate:error=EIO", big, 4480 + 5,
       shortWrite("Input/output error"), big + "09:00"},
      {"an unfinished line, its cache not dropped", "inject=fadvise64:error=EIO", "07:02,MET", -1,
       bus + "last line is unfinished; new lines start on a line of their own\n",
       "07:02,MET\n" + first + "\n" + second + "\n"},
      {"tap file fails after its first read", "inject=read:error=EIO:when=2", earlier, -1,
       "metro.txt: reading stopped after line 3: Input/output error\n"
       "no ride appended: a tap file was not read whole\n",
       earlier, "metro.txt"},
      {"tap file fails at its first read", "inject=read:error=EIO:when=1", earlier, -1,
       cp949("지하철파일 위치를 확인\n: Input/output error\n"), earlier + second + "\n",
       "metro.txt"},
      {"a one-line tap file whose next read fails", "inject=read:error=EIO:when=2", earlier, -1,
       "metro.txt: reading stopped after line 1: Input/output error\n"
       "no ride appended: a tap file was not read whole\n",
       earlier, "metro.txt", "08:10 METRO IN 250 A1\n"},
      {"lock refused, then a short write: no cut-back", "inject=fcntl:error=ENOLCK", big, 4480 + 5,
       shortWrite("No locks available"), big + "09:00"},
      {"the last byte reads as nothing", "inject=pread64:retval=0", "07:02,MET", -1,
       both("not appended: Input/output error"), "07:02,MET"},
      {"the last byte reads as nothing once: a stale cache", "inject=pread64:retval=0:when=1",
       earlier, -1, "", earlier + first + "\n" + second + "\n"},
      {"the last byte unreadable once", "inject=pread64:error=EIO:when=1", earlier, -1, "",
       earlier + first + "\n" + second + "\n"},
      {"created by another run between the open and the create",
       "inject=openat:error=ENOENT:when=1", earlier, -1, "",
       earlier + first + "\n" + second + "\n"},
      {"flush fails: each ride named", "inject=fsync:error=EIO", earlier, -1,
       both("appended, but not flushed to disk: Input/output error"),
       earlier + first + "\n" + second + "\n"},
      {"standard error closed, /dev/null refused", "inject=openat:error=EACCES", "06:00,BUS,1", -1,
       "", "06:00,BUS,1\n" + first + "\n" + second + "\n", "/dev/null", nullptr, true},
  };
  for (const Case& c : cases) {
    Batch b;
    writeWorkedExample(b);
    if (c.metro != nullptr) b.write("metro.txt", c.metro);
    b.write("busCompany.txt", c.ledger);
    // strace -P matches descriptors by their file, opens by the path as written.
    std::string path = c.on[0] == '/' ? c.on : b.path(c.on);
    RunResult r = b.runCommand({"strace", "-o", "/dev/null", "-P", path.c_str(), "-P", c.on, "-e",
                                c.inject, FARE_SETTLE_BIN},
                               {.fileSizeLimit = c.fileSizeLimit, .closeStderr = c.closeStderr});
    // strace's own notice that it resolved the relative path comes first.
    if (r.err.starts_with("strace: Requested path")) r.err.erase(0, r.err.find('\n') + 1);
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(r.err, c.err) << c.scenario;
    EXPECT_EQ(b.read("busCompany.txt"), c.after) << c.scenario;
  }
}

TEST(LedgerFaults, FullDiskLeavesOnlyWholeLinesAndReportsTheRest) {
#ifndef __linux__
  GTEST_SKIP() << "needs a Linux tmpfs";
#else
  Batch b;
  if (mount("tmpfs", b.dir().c_str(), "tmpfs", 0, "size=12k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root); not checked";
  struct Unmount {
    const std::string& dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{b.dir()};
  std::vector<std::string> bus, metro;
  b.write("metro.txt", fullBatch(&bus, &metro));
  b.write("bus.txt", "");
  // Each ledger has room for a few lines in its last page, then the disk is full.
  std::string earlierBus, earlierMetro;
  while (earlierBus.size() < 4000) earlierBus += kEarlierBus;
  while (earlierMetro.size() < 4000) earlierMetro += kEarlierMetro;
  b.write("busCompany.txt", earlierBus);
  b.write("metroCompany.txt", earlierMetro);
  b.write("filler", std::string(size_t{12} * 1024, 'f'));
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  int busAdded = expectKeptAndWhole(b, "busCompany.txt", earlierBus, "BUS");
  int metroAdded = expectKeptAndWhole(b, "metroCompany.txt", earlierMetro, "METRO");
  // Each report names its ride: "busCompany.txt: 06:00,BUS,1000: not appended: ..."
  int busLost = static_cast<int>(countOf(r.err, ",BUS,"));
  int metroLost = static_cast<int>(countOf(r.err, ",METRO,"));
  EXPECT_EQ(busAdded + busLost, 50);
  EXPECT_EQ(metroAdded + metroLost, 50);
  EXPECT_GT(busLost, 0);
  EXPECT_GT(metroLost, 0);
  EXPECT_EQ(countOf(r.err, ": not appended: No space left on device\n"),
            static_cast<size_t>(busLost + metroLost))
      << r.err;
#endif  // __linux__
}

TEST(HeapUse, OnlyTheStreamsTheRunOpens) {
  if (kSanitized || kEmulated)
    GTEST_SKIP() << "valgrind runs neither sanitized nor emulated builds";
  Batch b;
  if (b.runCommand({"valgrind", "--version"}).status != 0)
    GTEST_SKIP() << "valgrind not found; heap use not checked";
  std::vector<std::string> bus, metro;
  b.write("metro.txt", fullBatch(&bus, &metro));
  b.write("bus.txt", "");
  RunResult r = b.runCommand({"valgrind", "--leak-check=no", FARE_SETTLE_BIN});
  EXPECT_EQ(r.status, 0);
  const std::string label = "total heap usage: ";
  size_t at = r.err.find(label);
  ASSERT_NE(at, std::string::npos) << r.err;
  std::string count =
      r.err.substr(at + label.size(), r.err.find(' ', at + label.size()) - (at + label.size()));
  count.erase(std::remove(count.begin(), count.end(), ','), count.end());
  // glibc allocates a stream's record and its buffer for each tap file, and
  // stdout's buffer; the ledgers are written without streams. A debug build
  // that links the C++ runtime adds its start-up pool.
  EXPECT_LE(std::stoi(count), 2 * 2 + 1 + 1) << r.err;
}

}  // namespace
