// What the ledger writer and the process guard need from the host, behind
// one small interface: platform_posix.cpp or platform_win32.cpp, by build.
#ifndef FARE_SETTLE_PLATFORM_H_
#define FARE_SETTLE_PLATFORM_H_

#include <cstddef>

// The line end of the host's text files, as text-mode streams write it.
#ifdef _WIN32
constexpr char LINE_END[] = "\r\n";
#else
constexpr char LINE_END[] = "\n";
#endif
constexpr int LINE_END_LENGTH = sizeof LINE_END - 1;

// An open ledger: a descriptor, or a Windows HANDLE.
struct LedgerFile {
  long long handle;
  bool regular;  // a regular file, locked and sized; anything else gets plain writes
};

// Which file an open ledger is and how long: enough to tell whether it is
// still as this run's last line left it.
struct FileState {
  unsigned long long device;
  unsigned long long file;
  long long size;
};

// A directory, named as the host names it, so that two can be compared.
struct DirectoryName {
  char path[4096];
};

// Every call below returns 0, or an errno value that says why it failed.

// Makes the process safe to write ledgers from: a closed standard stream or
// a signal can take neither a ledger's place nor the run between two lines.
void guardProcess();

// Opens the ledger for appending, creating it when absent (*created is then
// set). A reader that is not there (a FIFO's) fails the open, never waits.
int openLedger(const char* path, LedgerFile* file, bool* created);

// Takes the whole-file write lock that every cooperating run takes before
// it appends, waiting for it; closing the ledger releases it.
int lockLedger(const LedgerFile& file);

int stateOf(const LedgerFile& file, FileState* state);
int readByteAt(const LedgerFile& file, long long offset, char* byte);
// Reads the byte again, past what the host has cached of the file there.
int rereadByteAt(const LedgerFile& file, long long offset, char* byte);

// Appends the bytes in as few writes as the host allows; *written says how
// many went out, also when the call fails.
int writeLedger(const LedgerFile& file, const char* bytes, size_t length, size_t* written);

// Cuts the ledger back to `size` bytes.
int cutBack(const LedgerFile& file, long long size);
int closeLedger(const LedgerFile& file);

// Puts a file's bytes on stable storage.
int flushFile(const char* path);

// The directory that holds the file `path` names, links resolved, and its
// flush to stable storage; a host without directory flushes does nothing.
int directoryOf(const char* path, DirectoryName* dir);
int flushDirectory(const DirectoryName& dir);

#endif  // FARE_SETTLE_PLATFORM_H_
