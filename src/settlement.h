// Settlement: re-apportions each journey's total fee among its rides
// (settlement.cpp), then appends every ride to the ledger of the company
// that ran it (ledgers.cpp).
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

constexpr int LEDGER_LINE = 48;  // "lt,METRO,-2147483648\r\n" at the longest

// Lays out the ledger line "lt,WORD,fee" and the host's line end in `line`;
// returns its length.
int formatLedgerLine(const RideInfo& ride, const char* word, char* line);

// Appends every ride to "busCompany.txt" (mode BUS) or "metroCompany.txt".
// Each line lands whole, under a whole-file lock, or is absent and reported
// on standard error; the ledgers appended to are flushed to stable storage
// before it returns. The run goes on whatever fails.
void writeLedgers(const RideInfo* t);

#endif  // FARE_SETTLE_SETTLEMENT_H_
