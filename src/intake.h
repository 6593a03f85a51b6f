// The tap file reader: one tap per line of "metro.txt" and "bus.txt",
// appended to the tap table with every message the intake prints.
#ifndef FARE_SETTLE_INTAKE_H_
#define FARE_SETTLE_INTAKE_H_

#include <cstdio>

#include "records.h"

// Why a line was not stored; TAP_STORED when it was.
enum TapLine : unsigned char {
  TAP_STORED,
  TAP_BLANK,  // nothing but blanks: no tap, and nothing to name on standard error
  TAP_LINE_TOO_LONG,
  TAP_NUL_BYTE,
  TAP_CONTROL_BYTE,
  TAP_FEW_FIELDS,
  TAP_TIME_TOO_LONG,
  TAP_TIME_COMMA,
  TAP_TIME_FORMULA,
  TAP_KEY_TOO_LONG,
  TAP_AMOUNT_OUT_OF_RANGE,
};

// What a stored tap's fields say beyond the tap itself: each false field
// was taken otherwise than as written, and is named on standard error.
struct TapNotes {
  bool modeKnown = true;       // BUS or METRO; else taken as BUS
  bool directionKnown = true;  // IN or OUT; else taken as IN
  bool timeWritten = true;     // H:MM or HH:MM, optional :SS
  bool amountWhole = true;     // an optional sign, then digits only
};

// Reads a decimal the way atoi does: leading white space, a sign, digits up
// to the first non-digit, none giving 0. The magnitude stops growing at
// `cap`, so no input overflows.
long long readDecimal(const char* text, long long cap);

// Accepts an atoi-style decimal (leading white space, a sign, digits up to
// the first non-digit, none giving 0) within -10,000,000..10,000,000.
// Writes *amount only on success.
bool parseAmount(const char* text, int* amount);

// The hours and minutes of a time as the time order reads them: the first
// two colon-separated parts (empty parts skipped), each read like atoi and
// saturated to an int; a missing minutes part gives 0.
void readTime(const char* lt, int* hours, int* minutes);

// Accepts "time mode direction amount key", blank-separated, anything after
// the key ignored, the time without a comma (it goes into comma-separated
// ledger lines) and not beginning like a spreadsheet formula. Fills *tap
// and *notes only on success; an unknown mode or direction word gives 0.
TapLine parseTapLine(const char* line, TermInfo* tap, TapNotes* notes);

// Reads one tap line as the reader does, given its bytes without the LF (a
// CR before it is part of the line end): refused, blank, or stored in *tap
// with *notes. Lines longer than 48 characters, NUL and control bytes (but
// the tab) are refused before the fields are parsed.
TapLine readTapLine(const char* bytes, size_t length, TermInfo* tap, TapNotes* notes);

// Names on standard error, as "path:lineNumber: ...", what a line's verdict
// and notes say: a refusal but a blank line's, then each field of a stored
// tap taken otherwise than written, in field order; `where` ends each line
// (" (batch 7)", or nothing). Returns whether it named anything.
bool noteTapLine(const char* path, long long lineNumber, TapLine verdict, const TermInfo& tap,
                 const TapNotes& notes, const char* where = "");

// Reads the taps of an open stream into infos[tapCount..], printing every
// intake message. Every line not taken as written is also named on standard
// error by `path` and number: refused, a field taken otherwise, or dropped
// for a full table (one line for the file). A read that fails before the
// file's first byte is reported with `missingMessage`; a later one stops
// the reading and is reported. Returns false then: the file was not read
// whole. Does not close `in`.
bool readTaps(FILE* in, TermInfo* infos, const char* path, const char* missingMessage,
              const char* fullMessage);

// Reads "metro.txt", then "bus.txt", into infos from tapCount 0; a file
// that cannot be opened, or is no regular file, is reported with its
// message and skipped. Returns false when a file stopped part-way: no ride
// of a batch read in part may reach a ledger.
bool loadTapFiles(TermInfo* infos);

// Reads a batch's two tap files from open streams, "metro.txt" first, into
// infos from tapCount 0, with every message loadTapFiles prints. Returns
// false when a stream stopped part-way.
bool readTapStreams(FILE* metro, FILE* bus, TermInfo* infos);

#endif  // FARE_SETTLE_INTAKE_H_
