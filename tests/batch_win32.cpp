// The test helpers' host side on Windows: CreateProcess, code page 949,
// LockFileEx.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "batch.h"

std::string cp949(const std::string& utf8) {
  int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                 static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), wide);
  int size = WideCharToMultiByte(949, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(949, 0, text.data(), wide, out.data(), size, nullptr, nullptr);
  if (!utf8.empty() && size == 0) std::abort();
  return out;
}

// Limits, closed streams and devices are POSIX's; a run here is plain.
bool hostCan(const RunOptions& options) {
  return options.fileSizeLimit < 0 && options.stdoutTo == nullptr && !options.closeStdin &&
         !options.closeStdout && !options.closeStderr && !options.stdoutPipeWithNoReader;
}

std::string makeScratchDirectory() {
  char tmp[MAX_PATH + 1];
  if (GetTempPathA(sizeof tmp, tmp) == 0) std::abort();
  for (int serial = 0; serial < 1000; serial++) {
    std::string dir = std::string(tmp) + "fare-settle-test-" +
                      std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial);
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
  }
  std::abort();
}

namespace {

HANDLE inheritable(const std::string& path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A Unix path as Wine names it (drive Z: is the root); a Windows path as it is.
std::string hostPath(const char* path) {
  std::string p = path[0] == '/' ? std::string("Z:") + path : path;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

}  // namespace

// Starts args[0] in dir with stdout and stderr going to files of their own.
Started spawn(const std::string& dir, const std::vector<const char*>& args, const RunOptions&) {
  static int serial = 0;
  std::string base = dir + "." + std::to_string(serial++);
  Started s{0, base + ".out", base + ".err"};
  std::string line = "\"" + hostPath(args[0]) + "\"";
  for (size_t i = 1; i < args.size(); i++) line += std::string(" \"") + args[i] + "\"";
  HANDLE out = inheritable(s.outPath), err = inheritable(s.errPath);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(),
                     &startup, &process)) {
    CloseHandle(process.hThread);
    s.process = static_cast<long long>(reinterpret_cast<intptr_t>(process.hProcess));
  }
  CloseHandle(out);
  CloseHandle(err);
  return s;
}

int waitFor(const Started& run) {
  HANDLE process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(run.process));
  if (process == nullptr) return -1;
  DWORD code = 0;
  bool exited = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(process, &code) != 0;
  CloseHandle(process);
  return exited ? static_cast<int>(code) : -1;
}

// Windows has no signals to send; the tests that send one do not run here.
void Batch::signal(const Started&, int) {}

bool Batch::running(const Started& run) {
  HANDLE process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(run.process));
  return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

HeldLock::HeldLock(const std::string& path)
    : handle_(reinterpret_cast<intptr_t>(
          CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))),
      held_(false) {
  OVERLAPPED whole = {};
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle_));
  held_ = h != INVALID_HANDLE_VALUE &&
          LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                     &whole);
}

HeldLock::~HeldLock() {
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle_));
  if (h == INVALID_HANDLE_VALUE) return;
  OVERLAPPED whole = {};
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(h);
}
