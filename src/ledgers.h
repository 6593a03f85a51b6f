// The company ledgers: every ride appended as one line "time,WORD,fee" to
// "busCompany.txt" (mode BUS) or "metroCompany.txt".
#ifndef FARE_SETTLE_LEDGERS_H_
#define FARE_SETTLE_LEDGERS_H_

#include "records.h"

constexpr int LEDGER_LINE = 48;  // "lt,METRO,-2147483648\r\n" at the longest

// Lays out the ledger line "lt,WORD,fee" and the host's line end in `line`;
// returns its length.
int formatLedgerLine(const RideInfo& ride, const char* word, char* line);

struct LedgerFile;

// Whether a locked ledger of `size` > 0 bytes ends with a line end, in
// *ends. A last byte that is not one is read once more past the host's
// cache before the ledger counts as torn. Returns 0, or the error of a last
// byte that could not be read.
int endsWithLineEnd(const LedgerFile& file, long long size, bool* ends);

// Appends every ride to its ledger. Each line lands whole, under a
// whole-file lock, or is absent and named on standard error; the ledgers
// appended to are flushed to stable storage before it returns. Nothing is
// appended from tap files not read whole; a stop request names every ride
// it did not append. The run goes on whatever fails.
void writeLedgers(const RideInfo* t, bool tapFilesWhole);

#endif  // FARE_SETTLE_LEDGERS_H_
