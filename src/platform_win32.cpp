// The host interface on Windows: HANDLEs, LockFileEx, FlushFileBuffers.
// Errors come back as errno values, so that reports read as on POSIX.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform.h"

namespace {

HANDLE handleOf(const LedgerFile& file) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file.handle));
}

int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return ENOLCK;
    default:
      return EIO;
  }
}

int lastError() {
  return errnoOf(GetLastError());
}

// A whole-file range for LockFileEx and UnlockFileEx.
constexpr DWORD ALL = MAXDWORD;

// The console event that asked the run to stop, or -1.
volatile LONG stopEvent = -1;

// Runs on a thread of its own. Windows ends the process once the handler
// of a closed console or a shutdown returns, so that one waits for the run
// to end it (the system's own time limit still applies).
BOOL WINAPI noteStop(DWORD event) {
  InterlockedCompareExchange(&stopEvent, static_cast<LONG>(event), -1);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

// Ledgers are HANDLEs, never C runtime descriptors, so a closed standard
// stream cannot lend them its number; and Windows raises no signal for a
// full disk or a vanished reader, only a failed write. Console events are
// noted for the ledger stage.
void guardProcess() {
  (void)SetConsoleCtrlHandler(noteStop, TRUE);
}

const char* stopRequest() {
  switch (stopEvent) {
    case -1:
      return nullptr;
    case CTRL_C_EVENT:
      return "Interrupt";
    case CTRL_BREAK_EVENT:
      return "Break";
    case CTRL_CLOSE_EVENT:
      return "Console closed";
    default:
      return "Shutdown";
  }
}

// The status Windows gives a process that Ctrl-C ended.
void endIfStopped() {
  if (stopEvent == -1) return;
  (void)std::fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Only a disk file is read: a pipe or device name would wait or never end.
int openTapFile(const char* path, FILE** in) {
  FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) return errno;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (GetFileType(h) != FILE_TYPE_DISK) {
    (void)std::fclose(stream);
    return NOT_REGULAR_FILE;
  }
  *in = stream;
  return 0;
}

// No FIFO to wait on: a device or pipe name is written to plainly.
int openLedger(const char* path, LedgerFile* file, bool* created) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return EISDIR;
    return errnoOf(error);
  }
  if (GetLastError() != ERROR_ALREADY_EXISTS) *created = true;
  file->handle = static_cast<long long>(reinterpret_cast<intptr_t>(h));
  file->regular = GetFileType(h) == FILE_TYPE_DISK;
  return 0;
}

// A blocking LockFileEx cannot be ended by a console event, so the wait is
// a poll that looks for one between tries.
int lockLedger(const LedgerFile& file) {
  for (;;) {
    if (stopEvent != -1) return STOPPED;
    OVERLAPPED whole = {};
    if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, ALL, ALL,
                   &whole))
      return 0;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return lastError();
    Sleep(10);
  }
}

int stateOf(const LedgerFile& file, FileState* state) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(file), &info)) return lastError();
  state->device = info.dwVolumeSerialNumber;
  state->file = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  state->size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) |
                                       info.nFileSizeLow);
  return 0;
}

int readByteAt(const LedgerFile& file, long long offset, char* byte) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD n = 0;
  if (!ReadFile(handleOf(file), byte, 1, &n, &at)) return lastError();
  return n == 1 ? 0 : EIO;  // none read: the file shrank under us
}

int readBlock(const LedgerFile& file, long long offset, char* bytes, size_t length, size_t* got) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD n = 0;
  DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
  if (!ReadFile(handleOf(file), bytes, chunk, &n, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF)
      n = 0;
    else
      return lastError();
  }
  *got = n;
  return 0;
}

// Windows reads a file through one coherent cache: a second read is the same.
int rereadByteAt(const LedgerFile& file, long long offset, char* byte) {
  return readByteAt(file, offset, byte);
}

// A regular file is written at its end whatever its file pointer says (both
// offsets all ones), as O_APPEND writes on POSIX.
int writeLedger(const LedgerFile& file, const char* bytes, size_t length, size_t* written) {
  *written = 0;
  while (*written < length) {
    OVERLAPPED atEnd = {};
    atEnd.Offset = MAXDWORD;
    atEnd.OffsetHigh = MAXDWORD;
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(length - *written);
    if (!WriteFile(handleOf(file), bytes + *written, chunk, &n, file.regular ? &atEnd : nullptr))
      return lastError();
    if (n == 0) return EIO;
    *written += n;
  }
  return 0;
}

int cutBack(const LedgerFile& file, long long size) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = size;
  if (SetFileInformationByHandle(handleOf(file), FileEndOfFileInfo, &end, sizeof end)) return 0;
  return lastError();
}

// The lock goes explicitly: Windows may release a closed handle's locks late.
int closeLedger(const LedgerFile& file) {
  OVERLAPPED whole = {};
  if (file.regular) (void)UnlockFileEx(handleOf(file), 0, ALL, ALL, &whole);
  return CloseHandle(handleOf(file)) ? 0 : lastError();
}

int flushFile(const char* path) {
  HANDLE h =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return lastError();
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  int error = 0;
#else
  int error = FlushFileBuffers(h) ? 0 : lastError();
#endif
  (void)CloseHandle(h);
  return error;
}

int flushLedger(const LedgerFile& file) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  (void)file;
  return 0;
#else
  return FlushFileBuffers(handleOf(file)) ? 0 : lastError();
#endif
}

// Windows has no flush of a directory entry; NTFS journals its metadata.
int directoryOf(const char*, DirectoryName* dir) {
  dir->path[0] = '\0';
  return 0;
}

int flushDirectory(const DirectoryName&) {
  return 0;
}
