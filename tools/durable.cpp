// Whole-or-absent small files: write a temporary, fsync, rename, fsync the
// directory. A crash before the rename leaves the old file (and a stray
// temporary, replaced by the next write); after it, the new one whole.
#include "durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int writeAll(int fd, const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? EIO : errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int flushDirectoryAt(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fsync(fd) == 0 ? 0 : errno;
  (void)close(fd);
  return error;
}

int writeDurably(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int error = writeAll(fd, bytes.data(), bytes.size());
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    (void)unlink(temporary.c_str());
    return error;
  }
  return flushDirectoryAt(parentOf(path));
}
