// What the ledger writer and the process guard need from the host, behind
// one small interface: platform_posix.cpp or platform_win32.cpp, by build.
#ifndef FARE_SETTLE_PLATFORM_H_
#define FARE_SETTLE_PLATFORM_H_

#include <cstddef>
#include <cstdio>

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

// Every call below returns 0, or an errno value that says why it failed, or
// one of these failures that have no errno value:
constexpr int NOT_REGULAR_FILE = -1;  // a FIFO, device or socket where a file belongs
constexpr int STOPPED = -2;           // a stop request (a signal, Ctrl-C) arrived

// Makes the process safe to write ledgers from: a closed standard stream or
// a signal can take neither a ledger's place nor the run between two lines.
// A stop request (SIGTERM, SIGINT, SIGHUP; Ctrl-C, Ctrl-Break, a closed
// console) is noted for the ledger stage instead of ending the run at once.
void guardProcess();

// The name of the stop request that arrived ("Terminated"), or nullptr.
const char* stopRequest();

// Ends the process as the stop request would have ended it, once the run
// has said what it did not do; returns when none arrived.
void endIfStopped();

// Opens a tap file for reading without ever waiting on it: a FIFO, device
// or socket is not opened (NOT_REGULAR_FILE). Sets *in only on success.
int openTapFile(const char* path, FILE** in);

// Opens the ledger for appending, creating it when absent (*created is then
// set). A reader that is not there (a FIFO's) fails the open, never waits.
// Its descriptor is never that of a standard stream.
int openLedger(const char* path, LedgerFile* file, bool* created);

// Takes the whole-file write lock that every cooperating run takes before
// it appends, waiting for it; closing the ledger releases it. A stop
// request ends the wait (STOPPED), and none is waited for once one arrived.
int lockLedger(const LedgerFile& file);

int stateOf(const LedgerFile& file, FileState* state);
int readByteAt(const LedgerFile& file, long long offset, char* byte);
// Reads up to `length` bytes from `offset` into `bytes`; *got says how
// many (0 at the end of the file).
int readBlock(const LedgerFile& file, long long offset, char* bytes, size_t length, size_t* got);
// Reads the byte again, past what the host has cached of the file there.
int rereadByteAt(const LedgerFile& file, long long offset, char* byte);

// Appends the bytes in as few writes as the host allows; *written says how
// many went out, also when the call fails.
int writeLedger(const LedgerFile& file, const char* bytes, size_t length, size_t* written);

// Cuts the ledger back to `size` bytes.
int cutBack(const LedgerFile& file, long long size);
int closeLedger(const LedgerFile& file);

// Puts a file's bytes on stable storage, by name or open.
int flushFile(const char* path);
int flushLedger(const LedgerFile& file);

// The directory that holds the file `path` names, links resolved, and its
// flush to stable storage; a host without directory flushes does nothing.
int directoryOf(const char* path, DirectoryName* dir);
int flushDirectory(const DirectoryName& dir);

#endif  // FARE_SETTLE_PLATFORM_H_
