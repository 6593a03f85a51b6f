// Journey building: key sort, time order within each journey group, the
// pairing of consecutive taps into rides, and the stage that runs them.
#include "journey.h"

#include <algorithm>
#include <cstring>

#include "intake.h"

namespace {

// 시간정렬 후: "after the time ordering"
constexpr char ORDERED_HEADING[] = "\n\n\xBD\xC3\xB0\xA3\xC1\xA4\xB7\xC4 \xC8\xC4 \n";

bool sameKey(const char* a, const char* b) {
  return compareKeys(a, b) == 0;
}

// Orders infos[first..last] by time with the exchange procedure: for each
// position a, any position b (but the last) holding a later time than a is
// exchanged with a. The procedure runs on (time key, tap) entries, each key
// computed once, and the taps are then moved into their places once.
void orderGroup(TermInfo* infos, int first, int last) {
  struct Entry {
    long long key;
    int tap;
  } order[TAP_CAPACITY];
  int n = last - first + 1;
  for (int i = 0; i < n; i++) order[i] = {timeKey(infos[first + i]), first + i};
  for (int a = 0; a < n; a++) {
    for (int b = 0; b < n - 1; b++) {
      if (order[b].key > order[a].key) std::swap(order[a], order[b]);
    }
  }
  TermInfo ordered[TAP_CAPACITY];
  for (int i = 0; i < n; i++) ordered[i] = infos[order[i].tap];
  std::copy(ordered, ordered + n, infos + first);
}

void putGroupBoundary(const char* first, const char* second) {
  putText("!!!DIF\n\xC3\xB9\xB9\xF8\xC2\xB0:");  // 첫번째 (first)
  putText(first);
  putText(" \xB5\xCE\xB9\xF8\xC2\xB0:");  // 두번째 (second)
  putText(second);
  putText("\n");
}

void addRide(RideInfo* t, const TermInfo& tap, int fee) {
  RideInfo& ride = t[rideCount++];
  std::memcpy(ride.lt, tap.lt, sizeof ride.lt);
  ride.tr = tap.tr;
  ride.fee = fee;
  std::memcpy(ride.ti, tap.ti, sizeof ride.ti);
}

// Taps hold amounts within +-10,000,000, so a pair's sum fits an int.
void pairRide(RideInfo* t, const TermInfo* infos, int i) {
  addRide(t, infos[i], infos[i].bal + infos[i + 1].bal);
}

void singleRide(RideInfo* t, const TermInfo* infos, int i) {
  addRide(t, infos[i], infos[i].bal);
}

void putPairTrace(int i, int k) {
  putTrace("TI:", i, "  TK:");
  putTrace("", k, "\n");
}

// The last group of the table, positions k+1-s..k+1, ends the walk.
void pairLastGroup(const TermInfo* infos, RideInfo* t, int s, int k) {
  putTrace("final SIZE ", s, "");
  int last = s % 2 == 1 ? k : k - 1;  // the last pair's first tap
  for (int i = k + 1 - s; i <= last; i += 2) {
    putPairTrace(i, k);
    pairRide(t, infos, i);
  }
  if (s % 2 == 0) singleRide(t, infos, k + 1);
}

// A group that ends at k, positions k-s..k: pairs, then its odd tap alone.
void pairGroup(const TermInfo* infos, RideInfo* t, int s, int k) {
  for (int i = k - s; i <= k; i += 2) {
    if (i < k)
      pairRide(t, infos, i);
    else
      singleRide(t, infos, k);
  }
}

}  // namespace

int compareByKey(const TermInfo& a, const TermInfo& b) {
  return compareKeys(a.ti, b.ti);
}

long long timeKey(const TermInfo& tap) {
  int hours, minutes;
  readTime(tap.lt, &hours, &minutes);
  return 60LL * hours + minutes;
}

// Insertion sort: stable, so taps with equal keys keep the order they were
// read in on every C++ library, and linear on files already grouped by key.
void sortByKey(TermInfo* infos) {
  for (int i = 1; i < tapCount; i++) {
    TermInfo tap = infos[i];
    int j = i;
    for (; j > 0 && compareByKey(infos[j - 1], tap) > 0; j--) infos[j] = infos[j - 1];
    infos[j] = tap;
  }
}

void orderByTime(TermInfo* infos) {
  int c = 1;  // taps of the current group seen so far
  for (int j = 0; j + 1 < tapCount; j++) {
    if (sameKey(infos[j].ti, infos[j + 1].ti)) {
      c++;
      if (j == tapCount - 2) orderGroup(infos, tapCount - c, tapCount - 1);
    } else {
      putGroupBoundary(infos[j].ti, infos[j + 1].ti);
      orderGroup(infos, j - c + 1, j);
      c = 1;
    }
  }
}

void pairRides(const TermInfo* infos, RideInfo* t) {
  rideCount = 0;
  if (tapCount == 1) singleRide(t, infos, 0);
  int s = 0;  // equal-key comparisons of the current group
  for (int k = 0; k + 1 < tapCount; k++) {
    bool last = k == tapCount - 2;
    bool same = sameKey(infos[k].ti, infos[k + 1].ti);
    putTrace("TK:", k, same ? "\nSAME\n" : "\nDIFF\n");
    if (same) {
      s++;
      if (last) pairLastGroup(infos, t, s, k);
    } else {
      // The table's lone last tap is a ride before its neighbour group's.
      if (last) singleRide(t, infos, k + 1);
      pairGroup(infos, t, s, k);
      s = 0;
    }
  }
}

bool buildRides(RideInfo* t) {
  TermInfo infos[TAP_CAPACITY] = {};
  bool tapFilesWhole = loadTapFiles(infos);
  buildRidesFrom(infos, t);
  return tapFilesWhole;
}

void buildRidesFrom(TermInfo* infos, RideInfo* t) {
  sortByKey(infos);
  orderByTime(infos);
  putText(ORDERED_HEADING);
  printTaps(infos);
  putTrace("leng : ", tapCount, "\n");
  pairRides(infos, t);
  printRides(t);
}
