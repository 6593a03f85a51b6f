// Whole runs of the built binary: trace, error reports, exit status, ledgers.
#include <gtest/gtest.h>

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

TEST(Run, OnlyBusFileLoadsFromIndexZero) {
  Batch b;
  b.write("bus.txt", "07:00 BUS IN 200 B2\n");
  RunResult r = b.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, cp949(kMetroMissing));
  EXPECT_EQ(r.out, cp949("\n\n시간정렬 후 \n"
                         "\n0번쨰 : lt = 07:00\n0번쨰 : tr = 0\n0번쨰 : io = 0\n"
                         "0번쨰 : bal = 200\n0번쨰 : ti = B2\n"
                         "leng : 1\n"));
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
  std::string tail = "leng : 100\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  std::string full = cp949("터미널정보 최대치\n");
  std::string fullFive = full + full + full + full + full;
  EXPECT_EQ(r.out.substr(0, fullFive.size() + 2), fullFive + "\n\n");
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
