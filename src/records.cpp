// The tables' counts and the console dumps of the tap and ride tables.
#include "records.h"

#include <charconv>
#include <cstdio>

int tapCount = 0;
int rideCount = 0;

void putText(const char* s) { std::fputs(s, stdout); }

void putNumber(long long v) {
  char digits[24];
  std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, v);
  std::fwrite(digits, 1, static_cast<size_t>(r.ptr - digits), stdout);
}

// Every dump line starts with the record's index and "번쨰 : ".
static void putLabel(int i, const char* field) {
  putNumber(i);
  putText("\xB9\xF8\xA4\x8A : ");  // 번쨰
  putText(field);
  putText(" = ");
}

static void putNumberLine(int i, const char* field, int value) {
  putLabel(i, field);
  putNumber(value);
  putText("\n");
}

static void putTextLine(int i, const char* field, const char* value) {
  putLabel(i, field);
  putText(value);
  putText("\n");
}

void printTaps(const TermInfo* infos) {
  for (int i = 0; i < tapCount; i++) {
    putText("\n");
    putTextLine(i, "lt", infos[i].lt);
    putNumberLine(i, "tr", infos[i].tr);
    putNumberLine(i, "io", infos[i].io);
    putNumberLine(i, "bal", infos[i].bal);
    putTextLine(i, "ti", infos[i].ti);
  }
}

void printRides(const RideInfo* t) {
  for (int i = 0; i < rideCount; i++) {
    putText("\n");
    putTextLine(i, "lt", t[i].lt);
    putNumberLine(i, "tr", t[i].tr);
    putNumberLine(i, "fee", t[i].fee);
    putTextLine(i, "fee", t[i].ti);  // the journey key, under the label "fee"
  }
}
