// Settlement on ride tables made in memory: rounding, apportionment with its
// trace, and the ledger line layout.
#include "settlement.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "batch.h"
#include "ledgers.h"
#include "platform.h"

namespace {

struct Ride {
  const char* ti;
  int fee;
};

TEST(RoundHalfAway, HalvesGoAwayFromZero) {
  struct Case {
    double x;
    int rounded;
  } cases[] = {
      {0.0, 0},   {0.5, 1},   {1.0, 1},   {1.5, 2},        {290.9090909, 291},
      {-2.5, -3}, {-2.4, -2}, {-0.5, -1}, {109.0909, 109}, {2147483647.0, INT_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(roundHalfAway(c.x), c.rounded) << c.x;
}

// The trace up to the ride dump that closes apportionFees.
std::string traceOf(const std::string& out) {
  return out.substr(0, out.find("\n0\xB9\xF8\xA4\x8A"));
}

TEST(ApportionFees, SharesAndTrace) {
  struct Case {
    const char* scenario;
    std::vector<Ride> rides;
    std::vector<int> fees;  // after apportionment
    std::string trace;
  } cases[] = {
      {"worked example",
       {{"A1", 250}, {"A1", 150}, {"B2", 250}},
       {291, 109, 250},
       "SAME\nDIFF\nSIZE:1  ai:1\ntotal:550\n"},
      {"last group traces each ride",
       {{"A1", 100}, {"A1", 100}, {"A1", 100}},
       {150, 100, 50},
       "SAME\nSAME\nSIZE:2  ai:1\ntotal:600\n"
       "fee:300\ntemp:300\nfee:300\ntemp:200\nfee:300\ntemp:100\n"},
      {"positive halves go up",
       {{"K", 1}, {"K", 1}, {"K", 1}, {"Z", 9}},
       {2, 1, 1, 9},
       "SAME\nSAME\nDIFF\nSIZE:2  ai:2\ntotal:6\n"},
      {"negative halves go down",
       {{"K", -1}, {"K", -1}, {"K", -1}, {"Z", 9}},
       {-2, -1, -1, 9},
       "SAME\nSAME\nDIFF\nSIZE:2  ai:2\ntotal:-6\n"},
      {"groups of one", {{"A1", 5}, {"B2", 6}, {"C3", 7}}, {5, 6, 7}, "DIFF\none\nDIFF\none\n"},
      {"a single ride", {{"A1", 5}}, {5}, ""},
      {"zero weights keep their fees",
       {{"A1", 2}, {"A1", -1}, {"B2", 5}},
       {2, -1, 5},
       "SAME\nDIFF\nSIZE:1  ai:1\ntotal:0\n"},
      {"zero weights in the last group still trace each ride",
       {{"A1", 2}, {"A1", -1}},
       {2, -1},
       "SAME\nSIZE:1  ai:0\ntotal:0\nfee:1\ntemp:1\nfee:1\ntemp:-1\n"},
      {"a share of exactly 2^31 keeps the fees",
       {{"A1", 131070}, {"A1", -65534}},
       {131070, -65534},
       "SAME\nSIZE:1  ai:0\ntotal:2\nfee:65536\ntemp:65536\nfee:65536\ntemp:-65534\n"},
      {"a share of exactly -2^31 fits",
       {{"A1", -131070}, {"A1", 65534}},
       {INT_MIN, 2147418112},
       "SAME\nSIZE:1  ai:0\ntotal:-2\nfee:-65536\ntemp:-65536\nfee:-65536\ntemp:65534\n"},
      {"a share of -2^31 - 0.5 keeps the fees: 320.5 x -6700417",
       {{"A1", 597}, {"A1", -13391276}, {"A1", 1}, {"A1", 6690261}, {"Z", 1}},
       {597, -13391276, 1, 6690261, 1},
       "SAME\nSAME\nSAME\nDIFF\nSIZE:3  ai:3\ntotal:-20908\n"},
      {"a quotient in double precision: 15/18 of 15 is 12.5",
       {{"K", 12}, {"K", 3}, {"Z", 1}},
       {13, 3, 1},
       "SAME\nDIFF\nSIZE:1  ai:1\ntotal:18\n"},
      {"a product in double precision: 2^24 + 1 stays whole",
       {{"K", 16777217}, {"K", 0}, {"Z", 1}},
       {16777217, 0, 1},
       "SAME\nDIFF\nSIZE:1  ai:1\ntotal:16777217\n"},
      {"double rounding, not extended precision: 24/176 of 55 gives 7",
       {{"K", 7}, {"K", 10}, {"K", 14}, {"K", 18}, {"K", 1}, {"K", 5}, {"Z", 1}},
       {17, 15, 12, 7, 2, 2, 1},
       "SAME\nSAME\nSAME\nSAME\nSAME\nDIFF\nSIZE:5  ai:5\ntotal:176\n"},
      {"double rounding, not extended precision: -493/-102 of 795 gives 3842",
       {{"K", 1199}, {"K", 89}, {"K", -493}, {"Z", 1}},
       {-6196, 3149, 3842, 1},
       "SAME\nSAME\nDIFF\nSIZE:2  ai:2\ntotal:-102\n"},
      {"keys that differ only in their last byte",
       {{"ABCDEFG", 1}, {"ABCDEFH", 2}},
       {1, 2},
       "DIFF\none\n"},
  };
  RideInfo t[RIDE_CAPACITY];
  for (const Case& c : cases) {
    std::memset(t, 0, sizeof t);
    rideCount = 0;
    for (const Ride& r : c.rides) {
      setText(t[rideCount].ti, r.ti);
      t[rideCount++].fee = r.fee;
    }
    testing::internal::CaptureStdout();
    apportionFees(t);
    EXPECT_EQ(traceOf(testing::internal::GetCapturedStdout()), c.trace) << c.scenario;
    std::vector<int> fees;
    for (int i = 0; i < rideCount; i++) fees.push_back(t[i].fee);
    EXPECT_EQ(fees, c.fees) << c.scenario;
  }
}

TEST(ApportionFees, WeightsBeyond32BitsStillShare) {
  RideInfo t[RIDE_CAPACITY] = {};
  rideCount = RIDE_CAPACITY;
  for (int i = 0; i < rideCount; i++) {
    setText(t[i].ti, "J");
    t[i].fee = 20000000;
  }
  testing::internal::CaptureStdout();
  apportionFees(t);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("total:101000000000\n"), std::string::npos);
  EXPECT_EQ(t[0].fee, 39603960);  // 100/5050 of 2,000,000,000
  EXPECT_EQ(t[99].fee, 396040);   // 1/5050 of it
}

TEST(FormatLedgerLine, WritesTheFeeWhole) {
  struct Case {
    const char* lt;
    const char* word;
    int fee;
    const char* line;
  } cases[] = {
      {"08:10", "METRO", 291, "08:10,METRO,291"},
      {"07:00", "BUS", -50, "07:00,BUS,-50"},
      {"07:00", "BUS", 12345, "07:00,BUS,12345"},
      {"0123456789012345678", "METRO", INT_MIN, "0123456789012345678,METRO,-2147483648"},
  };
  for (const Case& c : cases) {
    RideInfo ride = {};
    setText(ride.lt, c.lt);
    ride.fee = c.fee;
    char line[LEDGER_LINE];
    int n = formatLedgerLine(ride, c.word, line);
    EXPECT_EQ(std::string(line, static_cast<size_t>(n)), std::string(c.line) + LINE_END);
  }
}

}  // namespace
