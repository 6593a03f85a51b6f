// Journey building: reads the tap files, brings each journey key's taps
// together in time order, then pairs consecutive taps into rides.
#ifndef FARE_SETTLE_JOURNEY_H_
#define FARE_SETTLE_JOURNEY_H_

#include "records.h"

// Orders two taps by journey key, byte by byte as unsigned bytes (strcmp).
int compareByKey(const TermInfo& a, const TermInfo& b);

// A tap's time as minutes of the day, 60 x hours + minutes as readTime
// reads them from `lt`.
long long timeKey(const TermInfo& tap);

// Sorts infos[0..tapCount) by journey key; taps with equal keys keep their
// order (the order they were read in).
void sortByKey(TermInfo* infos);

// Puts each journey group of a key-sorted table in time order, printing a
// "!!!DIF" line at every group boundary.
void orderByTime(TermInfo* infos);

// Fills t[0..rideCount) from the ordered tap table, with the pairing trace.
void pairRides(const TermInfo* infos, RideInfo* t);

// The building stage on a tap table already read: orders infos[0..tapCount)
// and pairs them into t, with the heading, the tap and ride dumps.
void buildRidesFrom(TermInfo* infos, RideInfo* t);

// The building stage: reads "metro.txt" and "bus.txt", orders the taps and
// pairs them into t, with the tap and ride dumps. The tap table lives only
// while it runs; what leaves it is the ride table and rideCount, and
// whether the tap files were read whole (else no ride may be appended).
bool buildRides(RideInfo* t);

#endif  // FARE_SETTLE_JOURNEY_H_
