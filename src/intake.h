// The tap file reader: one tap per line of "metro.txt" and "bus.txt",
// appended to the tap table with every message the intake prints.
#ifndef FARE_SETTLE_INTAKE_H_
#define FARE_SETTLE_INTAKE_H_

#include <cstdio>

#include "records.h"

// Why a line was not stored; TAP_STORED when it was.
enum TapLine : unsigned char {
  TAP_STORED,
  TAP_LINE_TOO_LONG,
  TAP_NUL_BYTE,
  TAP_CONTROL_BYTE,
  TAP_FEW_FIELDS,
  TAP_TIME_TOO_LONG,
  TAP_TIME_COMMA,
  TAP_KEY_TOO_LONG,
  TAP_AMOUNT_OUT_OF_RANGE,
};

// Reads a decimal the way atoi does: leading white space, a sign, digits up
// to the first non-digit, none giving 0. The magnitude stops growing at
// `cap`, so no input overflows.
long long readDecimal(const char* text, long long cap);

// Accepts an atoi-style decimal (leading white space, a sign, digits up to
// the first non-digit, none giving 0) within -10,000,000..10,000,000.
// Writes *amount only on success.
bool parseAmount(const char* text, int* amount);

// Accepts "time mode direction amount key", blank-separated, anything after
// the key ignored, the time without a comma (it goes into comma-separated
// ledger lines). Fills *tap only on success; an unknown mode or direction
// word leaves 0 in its field and clears *modeKnown or *directionKnown.
TapLine parseTapLine(const char* line, TermInfo* tap, bool* modeKnown, bool* directionKnown);

// Reads the taps of an open stream into infos[tapCount..], printing every
// intake message. Every line not taken as written is also named on standard
// error by `path` and number: refused, an unknown word, or dropped for a
// full table (one line for the file). A read that fails before the file's
// first byte is reported with `missingMessage`; a later one stops the
// reading, is reported, and clears tapFilesWhole. Does not close `in`.
void readTaps(FILE* in, TermInfo* infos, const char* path, const char* missingMessage,
              const char* fullMessage);

// Opens `path` and reads its taps; a file that cannot be opened is
// reported on standard error with `missingMessage` and skipped.
void loadTermFile(TermInfo* infos, const char* path, const char* missingMessage,
                  const char* fullMessage);

#endif  // FARE_SETTLE_INTAKE_H_
