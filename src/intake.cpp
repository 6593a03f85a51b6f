// The tap file reader. A line is read whole into a fixed buffer; a line that
// does not fit the tap format is refused with a message, never cut into a tap.
#include "intake.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform.h"

namespace {

constexpr int MAX_LINE = 48;     // characters before the line end
constexpr int LINE_BUFFER = 50;  // 48 characters, a CR, the terminator
constexpr int MAX_TIME = 19;
constexpr int MAX_KEY = 7;
constexpr long long MAX_AMOUNT = 10000000;

// BUS나 METRO가 아닙니다: "neither BUS nor METRO"
constexpr char UNKNOWN_MODE[] = "BUS\xB3\xAA METRO\xB0\xA1 \xBE\xC6\xB4\xD5\xB4\xCF\xB4\xD9\n";
// IN OUT 이 아닙니다: "neither IN nor OUT"
constexpr char UNKNOWN_DIRECTION[] = "IN OUT \xC0\xCC \xBE\xC6\xB4\xD5\xB4\xCF\xB4\xD9\n";
// 지하철파일 위치를 확인: "check where the metro file is"
constexpr char METRO_MISSING[] =
    "\xC1\xF6\xC7\xCF\xC3\xB6\xC6\xC4\xC0\xCF \xC0\xA7\xC4\xA1\xB8\xA6 \xC8\xAE\xC0\xCE\n";
// 버스파일 위치를 확인: "check where the bus file is"
constexpr char BUS_MISSING[] =
    "\xB9\xF6\xBD\xBA\xC6\xC4\xC0\xCF \xC0\xA7\xC4\xA1\xB8\xA6 \xC8\xAE\xC0\xCE\n";
constexpr char METRO_FULL[] = "FULL\n";
// 터미널정보 최대치: "terminal records at their maximum"
constexpr char BUS_FULL[] = "\xC5\xCD\xB9\xCC\xB3\xCE\xC1\xA4\xBA\xB8 \xC3\xD6\xB4\xEB\xC4\xA1\n";

// GOT_ERROR: the read failed before any byte of the line; GOT_CUT: within it.
enum LineRead : unsigned char { GOT_LINE, GOT_END, GOT_ERROR, GOT_CUT };

// A byte that could forge a line or drive the terminal through the trace.
// The tab is part of a field; a NUL has a refusal of its own.
bool isControl(char c) {
  return (c > 0 && c < 0x20 && c != '\t') || c == 0x7F;
}

// Whether a line of at most LINE_BUFFER bytes may hold a NUL or a control
// byte: no when none of its bytes is below a blank or is DEL. Looked at
// eight bytes at a time, padded with blanks; a line it flags (a tab will)
// is looked at byte by byte.
bool mayHoldControl(const char* bytes, size_t length) {
  constexpr uint64_t ONES = 0x0101010101010101ULL, HIGHS = 0x8080808080808080ULL;
  uint64_t words[(LINE_BUFFER + 7) / 8];
  std::memset(words, ' ', sizeof words);
  std::memcpy(words, bytes, length);
  uint64_t flagged = 0;
  for (size_t i = 0; i < (length + 7) / 8; i++) {
    uint64_t x = words[i], del = x ^ (0x7F * ONES);
    flagged |= ((x - 0x20 * ONES) & ~x & HIGHS) | ((del - ONES) & ~del & HIGHS);
  }
  return flagged != 0;
}

// Reads one line into termInput without its LF: at most 49 bytes of it,
// *tooLong set when there were more (the rest is consumed).
LineRead readLine(FILE* in, char* termInput, int* length, bool* tooLong) {
  int n = 0;
  *tooLong = false;
  int c;
  while ((c = std::getc(in)) != EOF && c != '\n') {
    if (n < LINE_BUFFER - 1)
      termInput[n++] = static_cast<char>(c);
    else
      *tooLong = true;
  }
  if (c == EOF && std::ferror(in)) return n == 0 && !*tooLong ? GOT_ERROR : GOT_CUT;
  if (c == EOF && n == 0) return GOT_END;
  *length = n;
  return GOT_LINE;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Two digits, 00 to 59.
bool isSixtieth(const char* p) {
  return isDigit(p[0]) && p[0] <= '5' && isDigit(p[1]);
}

// H:MM or HH:MM, then :SS or nothing.
bool isWrittenTime(const char* p) {
  int hours = 0;
  while (hours < 3 && isDigit(p[hours])) hours++;
  if (hours == 0 || hours > 2 || p[hours] != ':' || !isSixtieth(p + hours + 1)) return false;
  p += hours + 3;
  return *p == '\0' || (p[0] == ':' && isSixtieth(p + 1) && p[3] == '\0');
}

// An optional sign, then digits only.
bool isWholeNumber(const char* p) {
  if (*p == '+' || *p == '-') p++;
  if (!isDigit(*p)) return false;
  while (isDigit(*p)) p++;
  return *p == '\0';
}

// Whether the n bytes at `field` are `word`.
template <size_t N>
bool isWord(const char* field, int n, const char (&word)[N]) {
  return n == static_cast<int>(N - 1) && std::memcmp(field, word, N - 1) == 0;
}

// A cell a spreadsheet would evaluate begins with one of these.
bool beginsLikeFormula(const char* text) {
  return std::strchr("=+-@", text[0]) != nullptr;
}

// Copies the next blank-separated field at *cursor into tempchar and moves
// the cursor past it. Returns the field's length, 0 when no field is left.
int nextField(const char** cursor, char* tempchar) {
  const char* p = *cursor;
  while (*p == ' ') p++;
  int n = 0;
  while (p[n] != '\0' && p[n] != ' ') {
    tempchar[n] = p[n];
    n++;
  }
  tempchar[n] = '\0';
  *cursor = p + n;
  return n;
}

const char* refusalText(TapLine why) {
  switch (why) {
    case TAP_LINE_TOO_LONG:
      return "line longer than 48 characters";
    case TAP_NUL_BYTE:
      return "line holds a NUL byte";
    case TAP_CONTROL_BYTE:
      return "line holds a control byte";
    case TAP_BLANK:
    case TAP_FEW_FIELDS:
      return "fewer than five fields";
    case TAP_TIME_TOO_LONG:
      return "time longer than 19 characters";
    case TAP_TIME_COMMA:
      return "time holds a comma";
    case TAP_TIME_FORMULA:
      return "time begins with =, +, - or @";
    case TAP_KEY_TOO_LONG:
      return "journey key longer than 7 characters";
    case TAP_AMOUNT_OUT_OF_RANGE:
      return "amount outside -10000000..10000000";
    case TAP_STORED:
      break;
  }
  return "";
}

// A refused line is named in the trace (standard error is noteTapLine's).
void traceRefusal(const char* path, long long lineNumber, TapLine why) {
  putText(path);
  putTrace(":", lineNumber, ": skipped: ");
  putText(refusalText(why));
  putText("\n");
}

void traceUnknownWords(const TapNotes& notes) {
  if (!notes.modeKnown) putText(UNKNOWN_MODE);
  if (!notes.directionKnown) putText(UNKNOWN_DIRECTION);
}

// The lines first..last, dropped because the table was full, as one line.
void reportDropped(const char* path, long long first, long long last) {
  if (first == 0) return;
  if (first == last)
    reportLine("%s:%lld: not read: the tap table is full\n", path, last);
  else
    reportLine("%s:%lld-%lld: not read: the tap table is full\n", path, first, last);
}

constexpr long long PART_CAP = 1LL << 31;  // one past INT_MAX: saturates both signs

int timePart(const char* part) {
  long long v = readDecimal(part, PART_CAP);
  return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

const char* skipColons(const char* p) {
  while (*p == ':') p++;
  return p;
}

// Opens `path` and reads its taps; a file that cannot be opened is
// reported on standard error with `missingMessage` and skipped.
bool loadTermFile(TermInfo* infos, const char* path, const char* missingMessage,
                  const char* fullMessage) {
  FILE* in = nullptr;
  if (int error = openTapFile(path, &in)) {
    reportLine("%s: %s\n", missingMessage, describe(error));
    return true;
  }
  bool whole = readTaps(in, infos, path, missingMessage, fullMessage);
  (void)std::fclose(in);  // every tap is already read
  return whole;
}

}  // namespace

long long readDecimal(const char* text, long long cap) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  long long value = 0;
  for (; *p >= '0' && *p <= '9' && value < cap; p++) value = value * 10 + (*p - '0');
  if (value > cap) value = cap;
  return negative ? -value : value;
}

void readTime(const char* lt, int* hours, int* minutes) {
  const char* p = skipColons(lt);
  *hours = timePart(p);
  while (*p != '\0' && *p != ':') p++;
  p = skipColons(p);
  *minutes = *p != '\0' ? timePart(p) : 0;
}

TapLine readTapLine(const char* bytes, size_t length, TermInfo* tap, TapNotes* notes) {
  if (length > 0 && bytes[length - 1] == '\r') length--;
  if (length > MAX_LINE) return TAP_LINE_TOO_LONG;
  if (mayHoldControl(bytes, length)) {
    bool nul = false, control = false;
    for (size_t i = 0; i < length; i++) {
      nul |= bytes[i] == '\0';
      control |= isControl(bytes[i]);
    }
    if (nul) return TAP_NUL_BYTE;
    if (control) return TAP_CONTROL_BYTE;
  }
  char termInput[LINE_BUFFER];
  std::memcpy(termInput, bytes, length);
  termInput[length] = '\0';
  return parseTapLine(termInput, tap, notes);
}

// A blank line held no tap to settle; a stored tap's fields are named in
// field order.
bool noteTapLine(const char* path, long long lineNumber, TapLine verdict, const TermInfo& tap,
                 const TapNotes& notes, const char* where) {
  if (verdict != TAP_STORED) {
    if (verdict == TAP_BLANK) return false;
    reportLine("%s:%lld: skipped: %s%s\n", path, lineNumber, refusalText(verdict), where);
    return true;
  }
  if (!notes.timeWritten) {
    int hours, minutes;
    readTime(tap.lt, &hours, &minutes);
    reportLine("%s:%lld: time is not HH:MM; ordered as %d:%02d%s\n", path, lineNumber, hours,
               minutes, where);
  }
  if (!notes.modeKnown)
    reportLine("%s:%lld: mode is neither BUS nor METRO; taken as BUS%s\n", path, lineNumber, where);
  if (!notes.directionKnown)
    reportLine("%s:%lld: direction is neither IN nor OUT; taken as IN%s\n", path, lineNumber,
               where);
  if (!notes.amountWhole)
    reportLine("%s:%lld: amount is not a whole number; taken as %d%s\n", path, lineNumber, tap.bal,
               where);
  return !notes.timeWritten || !notes.modeKnown || !notes.directionKnown || !notes.amountWhole;
}

bool parseAmount(const char* text, int* amount) {
  long long value = readDecimal(text, MAX_AMOUNT + 1);
  if (value > MAX_AMOUNT || value < -MAX_AMOUNT) return false;
  *amount = static_cast<int>(value);
  return true;
}

TapLine parseTapLine(const char* line, TermInfo* tap, TapNotes* notes) {
  char tempchar[LINE_BUFFER];
  TermInfo parsed = {};
  TapNotes noted;
  const char* cursor = line;

  int n = nextField(&cursor, tempchar);
  if (n == 0) return TAP_BLANK;
  if (n > MAX_TIME) return TAP_TIME_TOO_LONG;
  if (std::memchr(tempchar, ',', static_cast<size_t>(n)) != nullptr) return TAP_TIME_COMMA;
  if (beginsLikeFormula(tempchar)) return TAP_TIME_FORMULA;
  std::memcpy(parsed.lt, tempchar, static_cast<size_t>(n) + 1);
  noted.timeWritten = isWrittenTime(tempchar);

  // The words are compared where they stand in the line: read back from
  // tempchar, just written a byte at a time, they would wait on its stores.
  n = nextField(&cursor, tempchar);
  if (n == 0) return TAP_FEW_FIELDS;
  bool isBus = isWord(cursor - n, n, "BUS");
  bool isMetro = isWord(cursor - n, n, "METRO");
  parsed.tr = isMetro ? MODE_METRO : MODE_BUS;

  n = nextField(&cursor, tempchar);
  if (n == 0) return TAP_FEW_FIELDS;
  bool isIn = isWord(cursor - n, n, "IN");
  bool isOut = isWord(cursor - n, n, "OUT");
  parsed.io = isOut ? 1 : 0;

  if (nextField(&cursor, tempchar) == 0) return TAP_FEW_FIELDS;
  if (!parseAmount(tempchar, &parsed.bal)) return TAP_AMOUNT_OUT_OF_RANGE;
  noted.amountWhole = isWholeNumber(tempchar);

  n = nextField(&cursor, tempchar);
  if (n == 0) return TAP_FEW_FIELDS;
  if (n > MAX_KEY) return TAP_KEY_TOO_LONG;
  std::memcpy(parsed.ti, tempchar, static_cast<size_t>(n) + 1);

  noted.modeKnown = isBus || isMetro;
  noted.directionKnown = isIn || isOut;
  *tap = parsed;
  *notes = noted;
  return TAP_STORED;
}

bool readTaps(FILE* in, TermInfo* infos, const char* path, const char* missingMessage,
              const char* fullMessage) {
  char termInput[LINE_BUFFER];
  long long lineNumber = 0;
  long long firstDropped = 0;  // the first line dropped for a full table, 0 for none
  int length = 0;
  bool tooLong = false;
  LineRead got;
  while ((got = readLine(in, termInput, &length, &tooLong)) == GOT_LINE) {
    lineNumber++;
    if (tapCount == TAP_CAPACITY) {
      putText(fullMessage);
      if (firstDropped == 0) firstDropped = lineNumber;
      continue;
    }
    TapNotes notes;
    TapLine verdict =
        tooLong ? TAP_LINE_TOO_LONG
                : readTapLine(termInput, static_cast<size_t>(length), &infos[tapCount], &notes);
    if (verdict != TAP_STORED)
      traceRefusal(path, lineNumber, verdict);
    else
      traceUnknownWords(notes);
    noteTapLine(path, lineNumber, verdict, infos[tapCount], notes);
    if (verdict == TAP_STORED) tapCount++;
  }
  int error = errno;
  reportDropped(path, firstDropped, lineNumber);
  if (got == GOT_END) return true;
  // A file that fails before its first byte reads as one that is missing;
  // one that fails later has given only part of the batch.
  if (got == GOT_ERROR && lineNumber == 0) {
    reportLine("%s: %s\n", missingMessage, describe(error));
    return true;
  }
  reportLine("%s: reading stopped after line %lld: %s\n", path, lineNumber, describe(error));
  return false;
}

bool loadTapFiles(TermInfo* infos) {
  tapCount = 0;
  bool metroWhole = loadTermFile(infos, "metro.txt", METRO_MISSING, METRO_FULL);
  bool busWhole = loadTermFile(infos, "bus.txt", BUS_MISSING, BUS_FULL);
  return metroWhole && busWhole;
}

bool readTapStreams(FILE* metro, FILE* bus, TermInfo* infos) {
  tapCount = 0;
  bool metroWhole = readTaps(metro, infos, "metro.txt", METRO_MISSING, METRO_FULL);
  bool busWhole = readTaps(bus, infos, "bus.txt", BUS_MISSING, BUS_FULL);
  return metroWhole && busWhole;
}
