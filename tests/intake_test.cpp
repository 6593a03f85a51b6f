// Tap intake: the amount parser, the line parser, and reading whole streams.
#include "intake.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "batch.h"

namespace {

TEST(ParseAmount, FollowsAtoiWithinRange) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"250", true, 250},
      {"-300", true, -300},
      {"+7", true, 7},
      {"12ab", true, 12},
      {"x", true, 0},
      {"-", true, 0},
      {"", true, 0},
      {"\t42", true, 42},
      {"10000000", true, 10000000},
      {"-10000000", true, -10000000},
      {"10000001", false, 0},
      {"-10000001", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    int value = -1;
    EXPECT_EQ(parseAmount(c.text, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : -1) << c.text;
  }
}

TEST(ParseTapLine, AcceptsTheTapFormat) {
  struct Case {
    const char* line;
    const char* lt;
    int tr, io, bal;
    const char* ti;
    TapNotes notes;  // mode, direction, time, amount as written
  } cases[] = {
      {"08:10 METRO IN 250 A1", "08:10", 1, 0, 250, "A1", {true, true, true, true}},
      {"  08:10   BUS    OUT  -30   B2  ", "08:10", 0, 1, -30, "B2", {true, true, true, true}},
      {"08:10 BUS IN 5 K extra fields", "08:10", 0, 0, 5, "K", {true, true, true, true}},
      {"08:10 Metro IN 5 K", "08:10", 0, 0, 5, "K", {false, true, true, true}},
      {"08:10 METRO in 5 K", "08:10", 1, 0, 5, "K", {true, false, true, true}},
      {"08:10\tX METRO IN \t5 K", "08:10\tX", 1, 0, 5, "K", {true, true, false, false}},
      {"0123456789012345678 BUS IN 1 1234567",
       "0123456789012345678",
       0,
       0,
       1,
       "1234567",
       {true, true, false, true}},
      {"8:05:59 BUS IN +7 K", "8:05:59", 0, 0, 7, "K", {true, true, true, true}},
      {"08:10 METRO IN 1,250 A1", "08:10", 1, 0, 1, "A1", {true, true, true, false}},
      {"08:10 METRO IN 1.5 A1", "08:10", 1, 0, 1, "A1", {true, true, true, false}},
      {"08:10 METRO IN 3OO A1", "08:10", 1, 0, 3, "A1", {true, true, true, false}},
      {"08:10 METRO IN - A1", "08:10", 1, 0, 0, "A1", {true, true, true, false}},
      {"\xEF\xBB\xBF"
       "09:00 BUS IN 150 A1",
       "\xEF\xBB\xBF"
       "09:00",
       0,
       0,
       150,
       "A1",
       {true, true, false, true}},
      {"0810 BUS IN 1 K", "0810", 0, 0, 1, "K", {true, true, false, true}},
      {"08:1 BUS IN 1 K", "08:1", 0, 0, 1, "K", {true, true, false, true}},
      {"08:60 BUS IN 1 K", "08:60", 0, 0, 1, "K", {true, true, false, true}},
      {"108:10 BUS IN 1 K", "108:10", 0, 0, 1, "K", {true, true, false, true}},
      {"08:10:5 BUS IN 1 K", "08:10:5", 0, 0, 1, "K", {true, true, false, true}},
      {"08:10:00: BUS IN 1 K", "08:10:00:", 0, 0, 1, "K", {true, true, false, true}},
  };
  for (const Case& c : cases) {
    TermInfo tap;
    std::memset(&tap, 0x55, sizeof tap);
    TapNotes notes = {false, false, false, false};
    ASSERT_EQ(parseTapLine(c.line, &tap, &notes), TAP_STORED) << c.line;
    EXPECT_STREQ(tap.lt, c.lt) << c.line;
    EXPECT_EQ(tap.tr, c.tr) << c.line;
    EXPECT_EQ(tap.io, c.io) << c.line;
    EXPECT_EQ(tap.bal, c.bal) << c.line;
    EXPECT_STREQ(tap.ti, c.ti) << c.line;
    EXPECT_EQ(notes.modeKnown, c.notes.modeKnown) << c.line;
    EXPECT_EQ(notes.directionKnown, c.notes.directionKnown) << c.line;
    EXPECT_EQ(notes.timeWritten, c.notes.timeWritten) << c.line;
    EXPECT_EQ(notes.amountWhole, c.notes.amountWhole) << c.line;
  }
}

TEST(ParseTapLine, RefusesWhatDoesNotFitAndLeavesTheTapAlone) {
  struct Case {
    const char* line;
    TapLine why;
  } cases[] = {
      {"", TAP_BLANK},
      {"     ", TAP_BLANK},
      {"\t", TAP_FEW_FIELDS},
      {"08:10 BUS IN 250", TAP_FEW_FIELDS},
      {"01234567890123456789 BUS IN 1 K", TAP_TIME_TOO_LONG},
      {"08:10 BUS IN 1 12345678", TAP_KEY_TOO_LONG},
      {"08:10 BUS IN 10000001 K", TAP_AMOUNT_OUT_OF_RANGE},
      {"1:1,METRO,9999 BUS IN 5 K1", TAP_TIME_COMMA},
      {"=HYPERLINK(\"//x.y\") BUS IN 5 K1", TAP_TIME_FORMULA},
      {"+08:10 BUS IN 5 K1", TAP_TIME_FORMULA},
      {"-08:10 BUS IN 5 K1", TAP_TIME_FORMULA},
      {"@SUM(A1) BUS IN 5 K1", TAP_TIME_FORMULA},
  };
  for (const Case& c : cases) {
    TermInfo tap;
    std::memset(&tap, 0x55, sizeof tap);
    TermInfo before = tap;
    TapNotes notes;
    EXPECT_EQ(parseTapLine(c.line, &tap, &notes), c.why) << c.line;
    EXPECT_EQ(std::memcmp(&tap, &before, sizeof tap), 0) << c.line;
  }
}

// Reads `bytes` as the tap file `name` into a fresh table; returns stdout,
// and standard error in *err.
std::string readFrom(const std::string& bytes, TermInfo* infos, const char* name = "metro.txt",
                     std::string* err = nullptr) {
  FILE* in = std::tmpfile();
  if (in == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), in) != bytes.size() ||
      std::fseek(in, 0, SEEK_SET) != 0)
    std::abort();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  readTaps(in, infos, name, "missing\n", "FULL\n");
  std::fclose(in);
  std::string errText = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = errText;
  return testing::internal::GetCapturedStdout();
}

TEST(ReadTaps, LineEndsDoNotChangeTheTaps) {
  const std::string longest = "08:10 METRO IN 250 kkkkkkk" + std::string(22, ' ');
  ASSERT_EQ(longest.size(), 48u);
  const std::string lf = "08:10 METRO IN 250 A1\n" + longest + "\n07:00 BUS OUT 50 B2";
  const std::string crlf = "08:10 METRO IN 250 A1\r\n" + longest + "\r\n07:00 BUS OUT 50 B2\r\n";
  TermInfo a[TAP_CAPACITY] = {}, b[TAP_CAPACITY] = {};
  tapCount = 0;
  EXPECT_EQ(readFrom(lf, a), "");
  ASSERT_EQ(tapCount, 3);
  tapCount = 0;
  EXPECT_EQ(readFrom(crlf, b), "");
  ASSERT_EQ(tapCount, 3);
  EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
  EXPECT_STREQ(a[1].ti, "kkkkkkk");
  EXPECT_STREQ(a[2].ti, "B2");
}

TEST(ReadTaps, RefusedLinesAreNamedAndNotCounted) {
  const std::string tooLong = "08:10 METRO IN 250 A1 " + std::string(27, 'x');
  ASSERT_EQ(tooLong.size(), 49u);  // one past the longest line
  const std::string input = "\n" + tooLong + "\n08:10 BUS IN 1 K\n" +
                            std::string("08:10 BUS IN 1 \0K\n", 18) +
                            "08:10 BUS IN 99999999 K\n08:11 TRAM IN 2 K\n" + std::string("\0", 1) +
                            tooLong + "\r\n" + "08:12 BUS IN 3 K\tx\n";  // a tab is part of a field
  TermInfo infos[TAP_CAPACITY] = {};
  tapCount = 0;
  EXPECT_EQ(readFrom(input, infos, "bus.txt"),
            "bus.txt:1: skipped: fewer than five fields\n"
            "bus.txt:2: skipped: line longer than 48 characters\n"
            "bus.txt:4: skipped: line holds a NUL byte\n"
            "bus.txt:5: skipped: amount outside -10000000..10000000\n" +
                cp949("BUS나 METRO가 아닙니다\n") +
                "bus.txt:7: skipped: line longer than 48 characters\n");
  ASSERT_EQ(tapCount, 3);
  EXPECT_STREQ(infos[0].lt, "08:10");
  EXPECT_STREQ(infos[1].lt, "08:11");
  EXPECT_EQ(infos[1].tr, 0);
  EXPECT_STREQ(infos[2].ti, "K\tx");
}

TEST(ReadTaps, FullTableDropsEveryFurtherLineWithItsMessage) {
  std::string input;
  for (int i = 0; i < TAP_CAPACITY + 2; i++) input += "08:10 BUS IN 1 K\n";
  input += std::string(100, 'y') + "\n\n";  // still one message each, whatever the line
  TermInfo infos[TAP_CAPACITY] = {};
  tapCount = 0;
  std::string err;
  EXPECT_EQ(readFrom(input, infos, "metro.txt", &err), "FULL\nFULL\nFULL\nFULL\n");
  EXPECT_EQ(err, "metro.txt:101-104: not read: the tap table is full\n");
  EXPECT_EQ(tapCount, TAP_CAPACITY);
}

}  // namespace
