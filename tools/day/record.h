// The ledgers' own record of the days settled into them, kept beside them
// as LEDGERDIR/settled-days, so that the same day files never go into the
// same ledgers twice, whatever became of the DIR that settled them.
#ifndef FARE_SETTLE_TOOLS_DAY_RECORD_H_
#define FARE_SETTLE_TOOLS_DAY_RECORD_H_

#include <string>
#include <vector>

#include "journal.h"

// Records, durably, that the journal `day.id` in `dir` (absolute, for
// messages) settles the day files of `day` into the ledgers in
// `ledgerDir`, unless a record of them says their lines may be there
// already: *settledBy then names the DIR that settled them, and nothing is
// recorded. For a journal that knows the day, only another journal's
// record counts; for a `fresh` one, any record does.
// With `again`, the day is recorded whatever is there. Returns 0, EILSEQ
// with *damaged set (a record from 1) when a record is damaged, or the
// errno of the failure.
int settledDays(const std::string& ledgerDir, const DayIdentity& day, const std::string& dir,
                bool fresh, bool again, std::string* settledBy, int* damaged);

// Adds, durably, the byte ranges "G L START LENGTH SUM" that the journal
// `id` filled in the ledgers, so that the ledgers tell which of their bytes
// each day wrote even without its DIR. Returns 0 or the errno of a failure.
int recordRanges(const std::string& ledgerDir, const std::string& id,
                 const std::vector<std::string>& ranges);

#endif  // FARE_SETTLE_TOOLS_DAY_RECORD_H_
