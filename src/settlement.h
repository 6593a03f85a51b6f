// Settlement: re-apportions each journey's total fee among its rides. The
// rides then go to the company ledgers (ledgers.h).
#ifndef FARE_SETTLE_SETTLEMENT_H_
#define FARE_SETTLE_SETTLEMENT_H_

#include "records.h"

// The nearest integer to x, halves away from zero: the integer part of
// x + 0.5 (x >= 0) or x - 0.5 (x < 0). x must lie within the int range.
int roundHalfAway(double x);

// Gives each ride of a journey the share of the journey's total that its
// weight (its fee plus the fees of the rides after it) earns, with the
// apportionment trace; then prints the ride table.
void apportionFees(RideInfo* t);

#endif  // FARE_SETTLE_SETTLEMENT_H_
