// Whole runs of the built binary: trace, error reports, exit status, ledgers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "batch.h"

namespace {

const char* const kMetroMissing = "지하철파일 위치를 확인\n: No such file or directory\n";
const char* const kBusMissing = "버스파일 위치를 확인\n: No such file or directory\n";

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
  EXPECT_EQ(b.read("metroCompany.txt"), "08:10,METRO,291\n");
  EXPECT_EQ(b.read("busCompany.txt"), "09:00,BUS,109\n07:00,BUS,250\n");

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
      {"a directory", [](const Batch& b) { b.mkdir("busCompany.txt"); },
       "busCompany.txt: Is a directory\n"},
      {"a full device",
       [](const Batch& b) { std::filesystem::create_symlink("/dev/full", b.path("busCompany.txt")); },
       "busCompany.txt: No space left on device\n"},
  };
  for (const Case& c : cases) {
    Batch b;
    writeWorkedExample(b);
    c.breakLedger(b);
    RunResult r = b.run();
    EXPECT_EQ(r.status, 0) << c.scenario;
    EXPECT_EQ(r.err, std::string(c.err) + c.err) << c.scenario;  // one report per bus ride
    EXPECT_EQ(r.out, cp949(std::string(kWorkedBuild) + kWorkedSettle)) << c.scenario;
    EXPECT_EQ(b.read("metroCompany.txt"), "08:10,METRO,291\n") << c.scenario;
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

TEST(Run, TapFileThatIsADirectoryIsReportedAndSkipped) {
  Batch b;
  b.mkdir("metro.txt");
  b.write("bus.txt", "07:00 BUS IN 200 B2\n");
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, cp949("지하철파일 위치를 확인\n: Is a directory\n"));
  EXPECT_NE(r.out.find("leng : 1\n"), std::string::npos);
}

TEST(Run, FullTableAcrossBothFiles) {
  Batch b;
  std::string metro, bus;
  for (int i = 0; i < 60; i++) metro += "08:10 METRO IN 1 M\n";
  for (int i = 0; i < 45; i++) bus += "08:10 BUS IN 1 B\n";
  b.write("metro.txt", metro);
  b.write("bus.txt", bus);
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("leng : 100\n"), std::string::npos);
  std::string full = cp949("터미널정보 최대치\n");
  std::string fullFive = full + full + full + full + full;
  std::string head = fullFive + cp949("!!!DIF\n첫번째:B 두번째:M\n\n\n시간정렬 후 \n");
  EXPECT_EQ(r.out.substr(0, head.size()), head);
}

TEST(Run, ArgumentsMakeNoDifference) {
  Batch b;
  b.write("metro.txt", "08:10 METRO IN 250 A1\n");
  RunResult plain = b.run();
  RunResult withArg = b.run("--help");
  EXPECT_EQ(plain.out, withArg.out);
  EXPECT_EQ(plain.err, withArg.err);
  EXPECT_EQ(withArg.status, 0);
}

}  // namespace
