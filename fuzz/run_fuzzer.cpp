// Fuzz driver: a whole run, intake to ledgers, on two arbitrary tap files.
// The first input byte says where the rest splits into "metro.txt" and
// "bus.txt"; the run happens in a private directory under $TMPDIR (or /tmp).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "journey.h"
#include "ledgers.h"
#include "records.h"
#include "settlement.h"

namespace {

void writeFile(const char* name, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(name, "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// A ledger line is "time,WORD,fee\n": three fields, the time holding
// neither a comma nor a control byte.
bool wholeLine(char* line, const char* word) {
  char* end = std::strchr(line, '\n');
  if (end == nullptr || end[1] != '\0') return false;
  *end = '\0';
  for (const char* p = line; *p != '\0'; p++)
    if ((*p > 0 && *p < 0x20 && *p != '\t') || *p == 0x7F) return false;
  char* fee = std::strrchr(line, ',');
  if (fee == nullptr) return false;
  *fee++ = '\0';
  char* company = std::strchr(line, ',');
  if (company == nullptr || std::strcmp(company + 1, word) != 0) return false;
  if (*fee == '-') fee++;
  if (*fee == '\0') return false;
  for (; *fee != '\0'; fee++)
    if (*fee < '0' || *fee > '9') return false;
  return true;
}

// Counts the ledger's lines, aborting on any that is not whole.
int checkedLines(const char* name, const char* word) {
  FILE* f = std::fopen(name, "rb");
  if (f == nullptr) return 0;
  char line[LEDGER_LINE + 2];
  int lines = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (!wholeLine(line, word)) std::abort();
    lines++;
  }
  std::fclose(f);
  std::remove(name);
  return lines;
}

char runDirectory[4096];

// Leaves nothing behind in the temporary directory when the fuzzer exits.
void removeRunDirectory() {
  std::remove("metro.txt");
  std::remove("bus.txt");
  std::remove("busCompany.txt");
  std::remove("metroCompany.txt");
  rmdir(runDirectory);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  int n = std::snprintf(runDirectory, sizeof runDirectory, "%s/fare-settle-fuzz-XXXXXX",
                        tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  if (n < 0 || static_cast<size_t>(n) >= sizeof runDirectory) std::abort();
  if (mkdtemp(runDirectory) == nullptr || chdir(runDirectory) != 0) std::abort();
  std::atexit(removeRunDirectory);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t metroSize = (size - 1) * data[0] / 255;
  writeFile("metro.txt", data + 1, metroSize);
  writeFile("bus.txt", data + 1 + metroSize, size - 1 - metroSize);

  RideInfo t[RIDE_CAPACITY];
  bool tapFilesWhole = buildRides(t);
  apportionFees(t);
  writeLedgers(t, tapFilesWhole);

  if (rideCount < 0 || rideCount > tapCount || tapCount > TAP_CAPACITY) std::abort();
  int written = checkedLines("busCompany.txt", "BUS") + checkedLines("metroCompany.txt", "METRO");
  if (written != rideCount) std::abort();
  return 0;
}
