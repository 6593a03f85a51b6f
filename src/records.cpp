// The tables' counts and the console dumps of the tap and ride tables.
#include "records.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"

FARE_SETTLE_COUNT int tapCount = 0;
FARE_SETTLE_COUNT int rideCount = 0;

// The run goes on whatever becomes of the trace; its first failed write is
// remembered and reported once, when the run ends.
static int traceError = 0;
static bool tracing = true;
static ReportSink reportSink = nullptr;

void setTracing(bool on) {
  tracing = on;
}

static void noteTraceFailure() {
  if (traceError == 0) traceError = errno != 0 ? errno : EIO;
}

void putText(const char* s) {
  if (!tracing) return;
  if (std::fputs(s, stdout) == EOF) noteTraceFailure();
}

void finishTrace() {
  if (std::fflush(stdout) != 0) noteTraceFailure();
  if (traceError == 0 && std::ferror(stdout)) traceError = EIO;
  if (traceError != 0) reportLine("standard output: %s\n", describe(traceError));
}

void setReportSink(ReportSink sink) {
  reportSink = sink;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as declared
void reportLine(const char* format, ...) {
  char line[8192];  // room for two paths of PATH_MAX
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof line && reportSink != nullptr)
    reportSink(line, static_cast<size_t>(n));
  else if (n >= 0 && static_cast<size_t>(n) < sizeof line)
    (void)std::fwrite(line, 1, static_cast<size_t>(n), stderr);
  else
    (void)std::vfprintf(stderr, format, again);  // longer than any report: written as it comes
  va_end(again);
  va_end(args);
}

const char* describe(int error) {
  static char stopped[64];
  switch (error) {
    case NOT_REGULAR_FILE:
      return "not a regular file";
    case STOPPED:
      (void)std::snprintf(stopped, sizeof stopped, "stopped by a signal: %s", stopRequest());
      return stopped;
    default:
      return std::strerror(error);
  }
}

namespace {

// A record's dump block is composed here and written with one call: the
// trace is mostly these blocks, and one write per piece would dominate the run.
// Only the first `length` bytes of `text` are ever read, so it needs no
// clearing.
struct Block {
  char text[512];
  size_t length = 0;
};

void putBlock(const Block& b) {
  if (!tracing) return;
  if (std::fwrite(b.text, 1, b.length, stdout) != b.length) noteTraceFailure();
}

void add(Block* b, const char* s, size_t n) {
  if (b->length + n > sizeof b->text) {  // never with bounded fields; kept safe anyway
    putBlock(*b);
    b->length = 0;
  }
  std::memcpy(b->text + b->length, s, n);
  b->length += n;
}

void addText(Block* b, const char* s) {
  add(b, s, std::strlen(s));
}

void addNumber(Block* b, long long v) {
  char digits[24];
  std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, v);
  add(b, digits, static_cast<size_t>(r.ptr - digits));
}

// Every dump line is "<i>번쨰 : <field> = <value>".
void addLabel(Block* b, int i, const char* field) {
  addNumber(b, i);
  addText(b, "\xB9\xF8\xA4\x8A : ");  // 번쨰
  addText(b, field);
  addText(b, " = ");
}

void addNumberLine(Block* b, int i, const char* field, int value) {
  addLabel(b, i, field);
  addNumber(b, value);
  add(b, "\n", 1);
}

void addTextLine(Block* b, int i, const char* field, const char* value) {
  addLabel(b, i, field);
  addText(b, value);
  add(b, "\n", 1);
}

}  // namespace

void putTrace(const char* label, long long value, const char* end) {
  if (!tracing) return;
  Block b;
  addText(&b, label);
  addNumber(&b, value);
  addText(&b, end);
  putBlock(b);
}

void printTaps(const TermInfo* infos) {
  if (!tracing) return;
  for (int i = 0; i < tapCount; i++) {
    Block b;
    add(&b, "\n", 1);
    addTextLine(&b, i, "lt", infos[i].lt);
    addNumberLine(&b, i, "tr", infos[i].tr);
    addNumberLine(&b, i, "io", infos[i].io);
    addNumberLine(&b, i, "bal", infos[i].bal);
    addTextLine(&b, i, "ti", infos[i].ti);
    putBlock(b);
  }
}

void printRides(const RideInfo* t) {
  if (!tracing) return;
  for (int i = 0; i < rideCount; i++) {
    Block b;
    add(&b, "\n", 1);
    addTextLine(&b, i, "lt", t[i].lt);
    addNumberLine(&b, i, "tr", t[i].tr);
    addNumberLine(&b, i, "fee", t[i].fee);
    addTextLine(&b, i, "fee", t[i].ti);  // the journey key, under the label "fee"
    putBlock(b);
  }
}
