// The floor of a run: the same tap file reads, the same number of bytes on
// standard output, and the same ledger appends as fare-settle (per ride an
// open, a lock, two fstats, one write and a close; a read of the last byte
// on each ledger's first ride; an fsync per ledger at the end), with no
// computation. Usage: floor OUT_BYTES BUS_RIDES METRO_RIDES
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

static void append(const char* path, const char* line, bool first) {
  int fd = open(path, O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_CREAT, 0666);
  if (fd < 0) return;
  struct stat st;
  fstat(fd, &st);
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  fcntl(fd, F_SETLKW, &whole);
  fstat(fd, &st);
  char last;
  if (first && st.st_size > 0) (void)pread(fd, &last, 1, st.st_size - 1);
  (void)write(fd, line, std::strlen(line));
  close(fd);
}

static void flush(const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
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
  for (int i = 0; i < busRides; i++) append("busCompany.txt", "07:00,BUS,250\n", i == 0);
  for (int i = 0; i < metroRides; i++) append("metroCompany.txt", "08:10,METRO,291\n", i == 0);
  if (busRides > 0) flush("busCompany.txt");
  if (metroRides > 0) flush("metroCompany.txt");
  return 0;
}
