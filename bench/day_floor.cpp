// The I/O floor of a settled day: what any settlement must do at the least.
// Reads both day files whole, appends the day's ledger bytes to each
// ledger in one write and flushes each once; prints the seconds it took.
// The ledger bytes are read from REF_BUS and REF_METRO before the clock
// starts. Usage: day_floor METRO BUS REF_BUS REF_METRO OUT_DIR
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

static std::string readAll(const char* path) {
  std::string bytes;
  int fd = open(path, O_RDONLY);
  if (fd < 0) return bytes;
  struct stat st;
  if (fstat(fd, &st) == 0) bytes.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  ssize_t n;
  while (done < bytes.size() && (n = read(fd, &bytes[done], bytes.size() - done)) > 0)
    done += static_cast<size_t>(n);
  close(fd);
  bytes.resize(done);
  return bytes;
}

static void appendAndFlush(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  size_t done = 0;
  ssize_t n;
  while (done < bytes.size() && (n = write(fd, bytes.data() + done, bytes.size() - done)) > 0)
    done += static_cast<size_t>(n);
  fsync(fd);
  close(fd);
}

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const std::string ledgers[2] = {readAll(argv[3]), readAll(argv[4])};
  const std::string out = argv[5];
  auto start = std::chrono::steady_clock::now();
  size_t read = readAll(argv[1]).size() + readAll(argv[2]).size();
  appendAndFlush(out + "/busCompany.txt", ledgers[0]);
  appendAndFlush(out + "/metroCompany.txt", ledgers[1]);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.3f %zu\n", took.count(), read);
  return 0;
}
