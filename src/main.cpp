// fare-settle: settles one batch of transport taps into the company ledgers.
// Takes no arguments, reads "metro.txt" and "bus.txt", always exits 0.
#include "journey.h"
#include "ledgers.h"
#include "platform.h"
#include "records.h"
#include "settlement.h"

// The stages in order: building, apportionment, ledgers. The trace is out
// before the first ledger line, so even a run killed outright leaves it.
// A run stopped by a signal ends by that signal once it has named every
// ride it did not append.
int main() {
  guardProcess();
  RideInfo t[RIDE_CAPACITY];
  bool tapFilesWhole = buildRides(t);
  apportionFees(t);
  finishTrace();
  writeLedgers(t, tapFilesWhole);
  endIfStopped();
  return 0;
}
