// Test helpers: runs the built fare-settle in a fresh temporary directory,
// and converts readable UTF-8 expectations into the CP949 bytes it prints.
#ifndef FARE_SETTLE_TESTS_BATCH_H_
#define FARE_SETTLE_TESTS_BATCH_H_

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Copies `text` into a record's text field, terminator included; a text
// that does not fit is a fault in the test itself and stops the test binary.
template <size_t N>
void setText(char (&field)[N], const char* text) {
  size_t length = std::strlen(text);
  if (length >= N) std::abort();
  std::memcpy(field, text, length + 1);
}

// The lines of a text without their LFs; a last line without one counts.
std::vector<std::string> linesOf(const std::string& bytes);

// UTF-8 text as CP949 bytes (aborts the test binary if the host cannot).
std::string cp949(const std::string& utf8);

// Whether fare-settle runs under an emulator (qemu-user), where tools that
// trace a process (strace, valgrind) cannot follow it.
constexpr bool kEmulated = sizeof FARE_SETTLE_EMULATOR > 1;

// Whether the binary under test, built with the same flags, carries a
// sanitizer runtime, which neither valgrind nor ptrace tolerates.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FARE_SETTLE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define FARE_SETTLE_SANITIZED 1
#endif
#endif
#ifdef FARE_SETTLE_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Whether strace runs here and can follow the programs built here.
bool straceRuns();

// The command that starts a program built here: through the emulator, if any.
std::vector<const char*> builtProgram(const char* path);

struct RunResult {
  std::string out;  // as text: on Windows every line end must be CR LF, and is read as LF
  std::string err;
  int status = -1;  // exit status, 128 + n when signal n ended it (as a shell says), else -1
};

// How a run's process is set up before fare-settle starts. All but `arg`
// are POSIX only; hostCan says whether this host can set a run up so.
struct RunOptions {
  const char* arg = nullptr;       // one command-line argument
  long long fileSizeLimit = -1;    // RLIMIT_FSIZE in bytes; -1 leaves it
  const char* stdoutTo = nullptr;  // a path for standard output instead of a capture file
  bool closeStdin = false;
  bool closeStdout = false;
  bool closeStderr = false;
  bool stdoutPipeWithNoReader = false;
};
bool hostCan(const RunOptions& options);

// A run of fare-settle started with Batch::start and not yet waited for.
struct Started {
  long long process;  // a pid, or a Windows process HANDLE
  std::string outPath;
  std::string errPath;
};

// Holds the whole-file lock that fare-settle takes on a ledger, as another
// run would, until it is destroyed.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path);
  ~HeldLock();
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  bool held() const { return held_; }

 private:
  long long handle_;
  bool held_;
};

// A scratch working directory, removed with everything in it at the end.
class Batch {
 public:
  Batch();
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes `bytes` after a hole of `hole` bytes (sparse where the file
  // system allows); false when that failed.
  bool write(const std::string& name, const std::string& bytes, long long hole = 0) const;
  // A file's bytes from offset `from`; on Windows its CR LF line ends read as LF.
  std::string read(const std::string& name, long long from = 0) const;
  std::string readBytes(const std::string& name, long long from = 0) const;
  void mkdir(const std::string& name) const;
  bool exists(const std::string& name) const;

  // Runs fare-settle here.
  RunResult run(const RunOptions& options = {}) const;

  // Starts `args` here; Batch::finish waits for it.
  Started startCommand(const std::vector<const char*>& args) const;

  // Runs `program` with `args` here and waits for it.
  RunResult runCommand(const std::vector<const char*>& args, const RunOptions& options = {}) const;

  // Starts fare-settle here; whether it is still running; sends it a
  // signal (POSIX only); waits for its end.
  Started start() const;
  static bool running(const Started& run);
  static void signal(const Started& run, int signal);
  static RunResult finish(const Started& run);

  // Starts n runs of fare-settle here at once and waits for all of them.
  std::vector<RunResult> runTogether(int n) const;

 private:
  std::string dir_;
};

// The host's side of these helpers, in batch_posix.cpp or batch_win32.cpp.
std::string makeScratchDirectory();
Started spawn(const std::string& dir, const std::vector<const char*>& args,
              const RunOptions& options);
// Waits for the process; its exit status, 128 + a signal that ended it, or -1.
int waitFor(const Started& run);

#endif  // FARE_SETTLE_TESTS_BATCH_H_
