// The tap file reader. A line is read whole into a fixed buffer; a line that
// does not fit the tap format is refused with a message, never cut into a tap.
#include "intake.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// LINE_ERROR: the read failed before any byte of the line; LINE_CUT: within it.
enum LineRead : unsigned char { LINE_READ, LINE_END, LINE_ERROR, LINE_CUT };

// A byte that could forge a line or drive the terminal through the trace.
// The tab is part of a field; a NUL has a refusal of its own.
bool isControl(char c) {
  return (c > 0 && c < 0x20 && c != '\t') || c == 0x7F;
}

// Reads one line into termInput without its line end (LF, CR LF, or the
// end of the file, where a last CR counts as the line end too). An
// over-long line is consumed to its end; *verdict says whether the line can
// be parsed (TAP_STORED) or why it is refused.
LineRead readLine(FILE* in, char* termInput, TapLine* verdict) {
  int n = 0;
  bool tooLong = false;
  int c;
  while ((c = std::getc(in)) != EOF && c != '\n') {
    if (n < MAX_LINE + 1)
      termInput[n++] = static_cast<char>(c);
    else
      tooLong = true;
  }
  if (c == EOF && std::ferror(in)) return n == 0 && !tooLong ? LINE_ERROR : LINE_CUT;
  if (c == EOF && n == 0) return LINE_END;
  if (!tooLong && n > 0 && termInput[n - 1] == '\r') n--;
  termInput[n] = '\0';  // n is at most 49
  const char* line = termInput;
  const char* end = termInput + n;
  *verdict = tooLong || n > MAX_LINE                     ? TAP_LINE_TOO_LONG
             : std::find(line, end, '\0') != end         ? TAP_NUL_BYTE
             : std::find_if(line, end, isControl) != end ? TAP_CONTROL_BYTE
                                                         : TAP_STORED;
  return LINE_READ;
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
    case TAP_FEW_FIELDS:
      return "fewer than five fields";
    case TAP_TIME_TOO_LONG:
      return "time longer than 19 characters";
    case TAP_TIME_COMMA:
      return "time holds a comma";
    case TAP_KEY_TOO_LONG:
      return "journey key longer than 7 characters";
    case TAP_AMOUNT_OUT_OF_RANGE:
      return "amount outside -10000000..10000000";
    case TAP_STORED:
      break;
  }
  return "";
}

// Names a tap line on standard error: "bus.txt:7: what detail".
void noteLine(const char* path, long long lineNumber, const char* what, const char* detail = "") {
  (void)std::fprintf(stderr, "%s:%lld: %s%s\n", path, lineNumber, what, detail);
}

// A refused line is named in the trace and on standard error alike.
void reportRefusal(const char* path, long long lineNumber, TapLine why) {
  putText(path);
  putTrace(":", lineNumber, ": skipped: ");
  putText(refusalText(why));
  putText("\n");
  noteLine(path, lineNumber, "skipped: ", refusalText(why));
}

void reportUnknownWords(const char* path, long long lineNumber, bool modeKnown,
                        bool directionKnown) {
  if (!modeKnown) {
    putText(UNKNOWN_MODE);
    noteLine(path, lineNumber, "mode is neither BUS nor METRO; taken as BUS");
  }
  if (!directionKnown) {
    putText(UNKNOWN_DIRECTION);
    noteLine(path, lineNumber, "direction is neither IN nor OUT; taken as IN");
  }
}

// The lines first..last, dropped because the table was full, as one line.
void reportDropped(const char* path, long long first, long long last) {
  if (first == 0) return;
  if (first == last)
    noteLine(path, last, "not read: the tap table is full");
  else
    (void)std::fprintf(stderr, "%s:%lld-%lld: not read: the tap table is full\n", path, first,
                       last);
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

bool parseAmount(const char* text, int* amount) {
  long long value = readDecimal(text, MAX_AMOUNT + 1);
  if (value > MAX_AMOUNT || value < -MAX_AMOUNT) return false;
  *amount = static_cast<int>(value);
  return true;
}

TapLine parseTapLine(const char* line, TermInfo* tap, bool* modeKnown, bool* directionKnown) {
  char tempchar[LINE_BUFFER];
  TermInfo parsed = {};
  const char* cursor = line;

  int n = nextField(&cursor, tempchar);
  if (n == 0) return TAP_FEW_FIELDS;
  if (n > MAX_TIME) return TAP_TIME_TOO_LONG;
  if (std::memchr(tempchar, ',', static_cast<size_t>(n)) != nullptr) return TAP_TIME_COMMA;
  std::memcpy(parsed.lt, tempchar, static_cast<size_t>(n) + 1);

  if (nextField(&cursor, tempchar) == 0) return TAP_FEW_FIELDS;
  bool isBus = std::strcmp(tempchar, "BUS") == 0;
  bool isMetro = std::strcmp(tempchar, "METRO") == 0;
  parsed.tr = isMetro ? MODE_METRO : MODE_BUS;

  if (nextField(&cursor, tempchar) == 0) return TAP_FEW_FIELDS;
  bool isIn = std::strcmp(tempchar, "IN") == 0;
  bool isOut = std::strcmp(tempchar, "OUT") == 0;
  parsed.io = isOut ? 1 : 0;

  if (nextField(&cursor, tempchar) == 0) return TAP_FEW_FIELDS;
  if (!parseAmount(tempchar, &parsed.bal)) return TAP_AMOUNT_OUT_OF_RANGE;

  n = nextField(&cursor, tempchar);
  if (n == 0) return TAP_FEW_FIELDS;
  if (n > MAX_KEY) return TAP_KEY_TOO_LONG;
  std::memcpy(parsed.ti, tempchar, static_cast<size_t>(n) + 1);

  *tap = parsed;
  *modeKnown = isBus || isMetro;
  *directionKnown = isIn || isOut;
  return TAP_STORED;
}

void readTaps(FILE* in, TermInfo* infos, const char* path, const char* missingMessage,
              const char* fullMessage) {
  char termInput[LINE_BUFFER];
  long long lineNumber = 0;
  long long firstDropped = 0;  // the first line dropped for a full table, 0 for none
  TapLine result = TAP_STORED;
  LineRead got;
  while ((got = readLine(in, termInput, &result)) == LINE_READ) {
    lineNumber++;
    if (tapCount == TAP_CAPACITY) {
      putText(fullMessage);
      if (firstDropped == 0) firstDropped = lineNumber;
      continue;
    }
    bool modeKnown = true;
    bool directionKnown = true;
    if (result == TAP_STORED)
      result = parseTapLine(termInput, &infos[tapCount], &modeKnown, &directionKnown);
    if (result != TAP_STORED) {
      reportRefusal(path, lineNumber, result);
      continue;
    }
    reportUnknownWords(path, lineNumber, modeKnown, directionKnown);
    tapCount++;
  }
  int error = errno;
  reportDropped(path, firstDropped, lineNumber);
  if (got == LINE_END) return;
  // A file that fails before its first byte reads as one that is missing;
  // one that fails later has given only part of the batch.
  if (got == LINE_ERROR && lineNumber == 0) {
    reportError(missingMessage, error);
  } else {
    (void)std::fprintf(stderr, "%s: reading stopped after line %lld: %s\n", path, lineNumber,
                       std::strerror(error));
    tapFilesWhole = false;
  }
}

void loadTermFile(TermInfo* infos, const char* path, const char* missingMessage,
                  const char* fullMessage) {
  FILE* in = std::fopen(path, "rb");  // line ends are the reader's, alike on every host
  if (in == nullptr) {
    std::perror(missingMessage);
    return;
  }
  readTaps(in, infos, path, missingMessage, fullMessage);
  (void)std::fclose(in);  // every tap is already read
}
