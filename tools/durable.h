// Small files that must be whole or absent after a crash: written under a
// temporary name, flushed, then renamed into place and the rename flushed.
#ifndef FARE_SETTLE_TOOLS_DURABLE_H_
#define FARE_SETTLE_TOOLS_DURABLE_H_

#include <string>

// Writes all `length` bytes to `fd`, through short writes and EINTR.
// Returns 0 or the errno of the failure.
int writeAll(int fd, const char* bytes, size_t length);

// Writes `bytes` as `path`: PATH.tmp written and flushed, renamed to PATH,
// then PATH's directory flushed. A reader sees the old file or the new one,
// never part of one. Returns 0 or the errno of the first failure (the
// temporary file is then removed).
int writeDurably(const std::string& path, const std::string& bytes);

// Flushes a directory, so that the entries made or renamed in it last.
int flushDirectoryAt(const std::string& dir);

// The directory part of a path ("." for a bare name).
std::string parentOf(const std::string& path);

#endif  // FARE_SETTLE_TOOLS_DURABLE_H_
