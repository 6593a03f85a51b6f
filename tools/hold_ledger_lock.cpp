// hold-ledger-lock FILE SECONDS: takes the whole-file record lock that every
// fare-settle run takes on a ledger, says "locked" once it holds it, keeps
// it for SECONDS and exits, releasing it. The shared-storage check uses it to
// see whether a run through another mount waits for the lock.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    (void)std::fprintf(stderr, "usage: hold-ledger-lock FILE SECONDS\n");
    return 2;
  }
  const unsigned seconds = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  LedgerFile file;
  bool created = false;
  int error = openLedger(argv[1], &file, &created);
  if (error == 0) {
    error = lockLedger(file);
    if (error != 0) (void)closeLedger(file);
  }
  if (error != 0) {
    (void)std::fprintf(stderr, "hold-ledger-lock: %s: %s\n", argv[1], std::strerror(error));
    return 1;
  }
  (void)std::printf("locked\n");
  (void)std::fflush(stdout);
  unsigned left = seconds;
  while (left > 0) left = sleep(left);
  return 0;
}
