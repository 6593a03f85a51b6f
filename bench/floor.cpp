// The floor of a run: the same tap file reads, the same number of bytes on
// standard output and the same one-open-per-ride ledger appends as
// fare-settle, with no computation. Usage: floor OUT_BYTES BUS_RIDES METRO_RIDES
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void readWhole(const char* path) {
  FILE* in = std::fopen(path, "r");
  if (in == nullptr) return;
  char block[4096];
  while (std::fread(block, 1, sizeof block, in) == sizeof block) {
  }
  std::fclose(in);
}

static void append(const char* path, const char* line) {
  FILE* ledger = std::fopen(path, "a+");
  if (ledger == nullptr) return;
  std::fwrite(line, 1, std::strlen(line), ledger);
  std::fclose(ledger);
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  long outBytes = std::atol(argv[1]);
  int busRides = std::atoi(argv[2]);
  int metroRides = std::atoi(argv[3]);
  readWhole("metro.txt");
  readWhole("bus.txt");
  static char out[65536];
  std::memset(out, 'x', sizeof out);
  for (long left = outBytes; left > 0; left -= static_cast<long>(sizeof out))
    std::fwrite(out, 1, left < static_cast<long>(sizeof out) ? left : sizeof out, stdout);
  for (int i = 0; i < busRides; i++) append("busCompany.txt", "07:00,BUS,250\n");
  for (int i = 0; i < metroRides; i++) append("metroCompany.txt", "08:10,METRO,291\n");
  return 0;
}
