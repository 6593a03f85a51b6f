// fare-settle: settles one batch of transport taps into the company ledgers.
// Takes no arguments, reads "metro.txt" and "bus.txt", always exits 0.
#include "journey.h"
#include "platform.h"
#include "records.h"
#include "settlement.h"

// The stages in order: building, apportionment, ledgers.
int main() {
  guardProcess();
  RideInfo t[RIDE_CAPACITY];
  buildRides(t);
  apportionFees(t);
  writeLedgers(t);
  finishTrace();
  return 0;
}
