// The tables' counts and the console dumps of the tap and ride tables.
#include "records.h"

#include <charconv>
#include <cstdio>
#include <cstring>

int tapCount = 0;
int rideCount = 0;

// The trace has nowhere to report its own failed writes, and the run goes on
// whatever becomes of it, so their results are ignored.

void putText(const char* s) {
  (void)std::fputs(s, stdout);
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

void add(Block* b, const char* s, size_t n) {
  if (b->length + n > sizeof b->text) {  // never with bounded fields; kept safe anyway
    (void)std::fwrite(b->text, 1, b->length, stdout);
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

void putBlock(const Block& b) {
  (void)std::fwrite(b.text, 1, b.length, stdout);
}

}  // namespace

void putTrace(const char* label, long long value, const char* end) {
  Block b;
  addText(&b, label);
  addNumber(&b, value);
  addText(&b, end);
  putBlock(b);
}

void printTaps(const TermInfo* infos) {
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
