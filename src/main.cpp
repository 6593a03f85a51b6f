// fare-settle: settles one batch of transport taps into the company ledgers.
// Reads "metro.txt" and "bus.txt", exits 0; takes --help and --version
// only, and refuses any other argument before it touches a ledger.
#include <cstdio>
#include <cstring>

#include "journey.h"
#include "ledgers.h"
#include "platform.h"
#include "records.h"
#include "settlement.h"

namespace {

constexpr char USAGE[] =
    "usage: fare-settle [--help | --version]\n"
    "Settles the taps in metro.txt and bus.txt of the working directory into\n"
    "busCompany.txt and metroCompany.txt, printing a trace of every stage.\n";

constexpr int SETTLE = -1;

// SETTLE with no argument; else the exit status of an answer or a usage error.
int answerArguments(int argc, char** argv) {
  if (argc < 2) return SETTLE;
  bool help = std::strcmp(argv[1], "--help") == 0;
  bool version = std::strcmp(argv[1], "--version") == 0;
  if (argc == 2 && help) return std::fputs(USAGE, stdout) < 0 || std::fflush(stdout) != 0 ? 2 : 0;
  if (argc == 2 && version)
    return std::printf("fare-settle %s\n", FARE_SETTLE_VERSION) < 0 || std::fflush(stdout) != 0 ? 2
                                                                                                : 0;
  reportLine("fare-settle: unexpected argument: %s\n%s", argv[help || version ? 2 : 1], USAGE);
  return 2;
}

}  // namespace

// The stages in order: building, apportionment, ledgers. The trace is out
// before the first ledger line, so even a run killed outright leaves it.
// A run stopped by a signal ends by that signal once it has named every
// ride it did not append.
int main(int argc, char** argv) {
  if (int answered = answerArguments(argc, argv); answered != SETTLE) return answered;
  guardProcess();
  RideInfo t[RIDE_CAPACITY];
  bool tapFilesWhole = buildRides(t);
  apportionFees(t);
  finishTrace();
  writeLedgers(t, tapFilesWhole);
  endIfStopped();
  return 0;
}
