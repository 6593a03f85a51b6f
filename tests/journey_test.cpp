// Journey building on tables made in memory: key order, time keys, the time
// order of each group, and the pairing of taps into rides with its trace.
#include "journey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "batch.h"

namespace {

struct Tap {
  const char* ti;
  const char* lt;
  int bal;
};

// Loads the taps into `infos` and sets tapCount.
void load(TermInfo* infos, const std::vector<Tap>& taps) {
  std::memset(infos, 0, sizeof(TermInfo) * TAP_CAPACITY);
  tapCount = 0;
  for (const Tap& tap : taps) {
    TermInfo& info = infos[tapCount++];
    setText(info.ti, tap.ti);
    setText(info.lt, tap.lt);
    info.bal = tap.bal;
  }
}

std::string keysAndTimes(const TermInfo* infos) {
  std::string s;
  for (int i = 0; i < tapCount; i++) s += std::string(infos[i].ti) + "@" + infos[i].lt + " ";
  return s;
}

TEST(CompareByKey, IsByteOrder) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"A10", "A2", -1},          {"B", "a", -1}, {"A", "A1", -1}, {"A1", "A1", 0},
      {"\xC0", "z", 1},  // bytes compare unsigned
      {"ABCDEFG", "ABCDEFH", -1},
  };
  for (const Case& c : cases) {
    TermInfo a = {}, b = {};
    setText(a.ti, c.a);
    setText(b.ti, c.b);
    int got = compareByKey(a, b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.a << " vs " << c.b;
  }
}

TEST(TimeKey, MinutesOfTheDay) {
  struct Case {
    const char* lt;
    long long key;
  } cases[] = {
      {"9:05", 545},
      {"09:05", 545},
      {"08:30:59", 510},
      {":9::05", 545},
      {"9", 540},
      {"9:", 540},
      {"", 0},
      {":::", 0},
      {"-1:30", -30},
      {"12ab:3x", 723},
      {"\t7:01", 421},
      {"99999999999:9999999", 60LL * INT_MAX + 9999999},
      {"9:99999999999", 540LL + INT_MAX},
      {"-99999999999:0", 60LL * INT_MIN},
  };
  for (const Case& c : cases) {
    TermInfo tap = {};
    setText(tap.lt, c.lt);
    EXPECT_EQ(timeKey(tap), c.key) << c.lt;
  }
}

TEST(OrderByTime, OrdersEachGroupAndNothingElse) {
  struct Case {
    const char* scenario;
    std::vector<Tap> taps;  // already sorted by key
    std::string order;
    std::string trace;
  } cases[] = {
      {"one group is ordered whole",
       {{"A1", "09:00", 0}, {"A1", "08:10", 0}, {"A1", "08:40", 0}},
       "A1@08:10 A1@08:40 A1@09:00 ",
       ""},
      {"a lone last tap stays put",
       {{"A1", "09:00", 0}, {"A1", "8:10", 0}, {"B2", "07:00", 0}},
       "A1@8:10 A1@09:00 B2@07:00 ",
       "!!!DIF\n첫번째:A1 두번째:B2\n"},
      {"groups never leak into their neighbours",
       {{"A1", "09:00", 0}, {"B2", "07:00", 0}, {"B2", "06:00", 0}, {"C3", "05:00", 0}},
       "A1@09:00 B2@06:00 B2@07:00 C3@05:00 ",
       "!!!DIF\n첫번째:A1 두번째:B2\n!!!DIF\n첫번째:B2 두번째:C3\n"},
      {"seconds are ignored", {{"K", "08:31", 0}, {"K", "08:30:59", 0}}, "K@08:30:59 K@08:31 ", ""},
      {"one tap", {{"K", "23:00", 0}}, "K@23:00 ", ""},
      {"no tap", {}, "", ""},
  };
  TermInfo infos[TAP_CAPACITY];
  for (const Case& c : cases) {
    load(infos, c.taps);
    testing::internal::CaptureStdout();
    orderByTime(infos);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), cp949(c.trace)) << c.scenario;
    EXPECT_EQ(keysAndTimes(infos), c.order) << c.scenario;
  }
}

TEST(OrderByTime, FullTableInDescendingTimeBecomesAscending) {
  TermInfo infos[TAP_CAPACITY];
  std::vector<std::string> times;
  std::vector<Tap> taps;
  for (int i = 0; i < TAP_CAPACITY; i++) times.push_back("10:" + std::to_string(99 - i));
  for (const std::string& time : times) taps.push_back({"J", time.c_str(), 0});
  load(infos, taps);
  orderByTime(infos);
  for (int i = 0; i + 1 < TAP_CAPACITY; i++)
    ASSERT_LT(timeKey(infos[i]), timeKey(infos[i + 1])) << i;
}

TEST(OrderByTime, TiesEndWhereTheExchangeProcedureLeavesThem) {
  // Worked on paper: for each a, every b before the last that holds a later
  // time than a is exchanged with a. Taps are told apart by their amounts.
  struct Case {
    std::vector<const char*> times;
    std::vector<int> order;  // amounts (first table positions) after ordering
  } cases[] = {
      {{"9:01", "9:00", "9:00"}, {1, 2, 0}},
      {{"9:01", "9:01", "9:00"}, {2, 1, 0}},  // a stable sort gives 2 0 1
      {{"9:02", "9:01", "9:02", "9:01"}, {1, 3, 2, 0}},
      {{"9:00", "9:00"}, {0, 1}},
  };
  TermInfo infos[TAP_CAPACITY];
  for (const Case& c : cases) {
    std::vector<Tap> taps;
    for (size_t i = 0; i < c.times.size(); i++)
      taps.push_back({"J", c.times[i], static_cast<int>(i)});
    load(infos, taps);
    orderByTime(infos);
    std::vector<int> order;
    for (int i = 0; i < tapCount; i++) order.push_back(infos[i].bal);
    EXPECT_EQ(order, c.order) << c.times[0] << " " << c.times[1];
  }
}

TEST(SortByKey, BringsEachKeyTogetherInByteOrderKeepingTheReadOrder) {
  std::vector<Tap> full;  // three keys in turn; sorts that are not stable reorder them
  const char* const keys[] = {"C", "A", "B"};
  for (int i = 0; i < TAP_CAPACITY; i++) full.push_back({keys[i % 3], "1:00", i});
  struct Case {
    const char* scenario;
    std::vector<Tap> taps;  // amounts are the read order: a lost or doubled tap shows too
  } cases[] = {
      {"byte order", {{"a", "1:00", 0}, {"A2", "1:00", 1}, {"A10", "1:00", 2}, {"a", "2:00", 3}}},
      {"a full table of three keys", full},
  };
  TermInfo infos[TAP_CAPACITY];
  for (const Case& c : cases) {
    load(infos, c.taps);
    sortByKey(infos);
    for (int i = 1; i < tapCount; i++) {
      int order = compareByKey(infos[i - 1], infos[i]);
      EXPECT_TRUE(order < 0 || (order == 0 && infos[i - 1].bal < infos[i].bal))
          << c.scenario << ": " << i;
    }
  }
}

TEST(PairRides, RidesAndTrace) {
  struct Case {
    const char* scenario;
    std::vector<Tap> taps;  // in table order after the time order
    std::string rides;      // key:fee per ride, in table order
    std::string trace;
  } cases[] = {
      {"worked example",
       {{"A1", "08:10", 250},
        {"A1", "08:40", 0},
        {"A1", "09:00", 150},
        {"B2", "07:00", 200},
        {"B2", "07:30", 50}},
       "A1:250 A1:150 B2:250 ",
       "TK:0\nSAME\nTK:1\nSAME\nTK:2\nDIFF\nTK:3\nSAME\nfinal SIZE 1TI:3  TK:3\n"},
      {"last two differ: the last tap's ride comes first",
       {{"A1", "1:00", 250}, {"A1", "2:00", 0}, {"B2", "3:00", 200}},
       "B2:200 A1:250 ",
       "TK:0\nSAME\nTK:1\nDIFF\n"},
      {"two groups of one",
       {{"A1", "1:00", 500}, {"B2", "1:00", 700}},
       "B2:700 A1:500 ",
       "TK:0\nDIFF\n"},
      {"one odd group",
       {{"A1", "1:00", 100}, {"A1", "2:00", 200}, {"A1", "3:00", 300}},
       "A1:300 A1:300 ",
       "TK:0\nSAME\nTK:1\nSAME\nfinal SIZE 2TI:0  TK:1\n"},
      {"one even group",
       {{"A1", "1:00", 100}, {"A1", "2:00", 200}, {"A1", "3:00", 300}, {"A1", "4:00", 400}},
       "A1:300 A1:700 ",
       "TK:0\nSAME\nTK:1\nSAME\nTK:2\nSAME\nfinal SIZE 3TI:0  TK:2\nTI:2  TK:2\n"},
      {"a group of one between others",
       {{"A1", "1:00", 1}, {"B2", "1:00", 2}, {"C3", "1:00", 3}, {"C3", "2:00", 4}},
       "A1:1 B2:2 C3:7 ",
       "TK:0\nDIFF\nTK:1\nDIFF\nTK:2\nSAME\nfinal SIZE 1TI:2  TK:2\n"},
      {"keys that differ only in their last byte",
       {{"ABCDEFG", "1:00", 1}, {"ABCDEFH", "1:00", 2}},
       "ABCDEFH:2 ABCDEFG:1 ",
       "TK:0\nDIFF\n"},
      {"one tap", {{"A1", "1:00", 900}}, "A1:900 ", ""},
      {"no tap", {}, "", ""},
  };
  TermInfo infos[TAP_CAPACITY];
  RideInfo t[RIDE_CAPACITY];
  for (const Case& c : cases) {
    load(infos, c.taps);
    rideCount = 7;
    testing::internal::CaptureStdout();
    pairRides(infos, t);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.trace) << c.scenario;
    std::string rides;
    for (int i = 0; i < rideCount; i++)
      rides += std::string(t[i].ti) + ":" + std::to_string(t[i].fee) + " ";
    EXPECT_EQ(rides, c.rides) << c.scenario;
  }
}

TEST(PairRides, RideTakesTimeAndModeOfItsFirstTap) {
  TermInfo infos[TAP_CAPACITY];
  load(infos, {{"A1", "08:10", 250}, {"A1", "08:40", 0}});
  infos[0].tr = MODE_METRO;
  infos[1].tr = MODE_BUS;
  RideInfo t[RIDE_CAPACITY];
  testing::internal::CaptureStdout();
  pairRides(infos, t);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rideCount, 1);
  EXPECT_STREQ(t[0].lt, "08:10");
  EXPECT_EQ(t[0].tr, MODE_METRO);
}

}  // namespace
