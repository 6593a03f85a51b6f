// Settlement: fee apportionment within each journey.
#include "settlement.h"

#include <cfloat>
#include <cstring>

// Every host must settle the same money, so a share is rounded from IEEE
// double arithmetic, each step rounded to double. A build that would keep
// intermediate results in extended precision (the x87 unit) settles some
// journeys differently, so it does not build.
#if !defined(FLT_EVAL_METHOD) || (FLT_EVAL_METHOD != 0 && FLT_EVAL_METHOD != 1)
#error \
    "FLT_EVAL_METHOD is not 0 or 1: doubles would be computed in excess precision and shares would differ from other hosts; on 32-bit x86 build with -msse2 -mfpmath=sse"
#endif

namespace {

// A journey's rides at t[first..last], with the sums the shares are made of.
struct Group {
  int first;
  int last;
  long long total;                  // F: the journey's total fee
  long long weights;                // T: the sum of the weights
  long long weight[RIDE_CAPACITY];  // S(i): fee of ride i and of the rides after it
  int share[RIDE_CAPACITY];
};

void measure(const RideInfo* t, Group* g) {
  long long after = 0;
  g->weights = 0;
  for (int i = g->last; i >= g->first; i--) {
    after += t[i].fee;
    g->weight[i] = after;
    g->weights += after;
  }
  g->total = after;
}

bool fitsInt(double x) {
  return x > -2147483648.5 && x < 2147483647.5;
}

// Works out every share of the group; false when a share would be computed
// from a zero T or would not fit a fee, and then no fee changes.
bool computeShares(Group* g) {
  if (g->weights == 0) return false;
  for (int i = g->first; i <= g->last; i++) {
    double quotient = static_cast<double>(g->weight[i]) / static_cast<double>(g->weights);
    double share = quotient * static_cast<double>(g->total);
    if (!fitsInt(share)) return false;
    g->share[i] = roundHalfAway(share);
  }
  return true;
}

// Re-apportions the rides of t[first..last]; the table's last journey also
// traces each ride's total and weight.
void apportionGroup(RideInfo* t, int first, int last, int ai, bool traceRides) {
  Group g;
  g.first = first;
  g.last = last;
  putTrace("SIZE:", last - first, "  ai:");
  putTrace("", ai, "\n");
  measure(t, &g);
  putTrace("total:", g.weights, "\n");
  bool apportioned = computeShares(&g);
  for (int i = first; i <= last; i++) {
    if (traceRides) {
      putTrace("fee:", g.total, "\n");
      putTrace("temp:", g.weight[i], "\n");
    }
    if (apportioned) t[i].fee = g.share[i];
  }
}

}  // namespace

int roundHalfAway(double x) {
  return static_cast<int>(x >= 0 ? x + 0.5 : x - 0.5);
}

void apportionFees(RideInfo* t) {
  int s = 0;  // equal-key comparisons of the current journey
  for (int ai = 0; ai + 1 < rideCount; ai++) {
    if (compareKeys(t[ai].ti, t[ai + 1].ti) == 0) {
      s++;
      putText("SAME\n");
      if (ai == rideCount - 2) apportionGroup(t, ai - s + 1, ai + 1, ai, true);
    } else {
      putText("DIFF\n");
      if (s == 0)
        putText("one\n");
      else
        apportionGroup(t, ai - s, ai, ai, false);
      s = 0;
    }
  }
  printRides(t);
}
