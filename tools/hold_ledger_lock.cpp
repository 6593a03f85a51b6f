// hold-ledger-lock FILE SECONDS: takes the whole-file record lock that every
// fare-settle run takes on a ledger, says "locked" once it holds it, keeps
// it for SECONDS and exits, releasing it. The shared-storage check uses it to
// see whether a run through another mount waits for the lock.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    (void)std::fprintf(stderr, "usage: hold-ledger-lock FILE SECONDS\n");
    return 2;
  }
  const unsigned seconds = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  int fd = open(argv[1], O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  int locked = -1;
  if (fd >= 0) {
    while ((locked = fcntl(fd, F_SETLKW, &whole)) != 0 && errno == EINTR) {
    }
  }
  if (locked != 0) {
    (void)std::fprintf(stderr, "hold-ledger-lock: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  (void)std::printf("locked\n");
  (void)std::fflush(stdout);
  unsigned left = seconds;
  while (left > 0) left = sleep(left);
  return 0;
}
