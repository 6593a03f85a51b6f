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

// The directory for scratch files: $TMPDIR, else /tmp.
std::string tempDirectory();

// UTF-8 text as CP949 bytes (aborts the test binary if iconv cannot).
std::string cp949(const std::string& utf8);

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process did not exit
};

// How a run's process is set up before fare-settle starts.
struct RunOptions {
  const char* arg = nullptr;       // one command-line argument
  long long fileSizeLimit = -1;    // RLIMIT_FSIZE in bytes; -1 leaves it
  const char* stdoutTo = nullptr;  // a path for standard output instead of a capture file
  bool closeStdin = false;
  bool closeStdout = false;
  bool stdoutPipeWithNoReader = false;
};

// A run of fare-settle started with Batch::start and not yet waited for.
struct Started {
  int pid;
  std::string outPath;
  std::string errPath;
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
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  void mkdir(const std::string& name) const;
  bool exists(const std::string& name) const;

  // Runs fare-settle here.
  RunResult run(const RunOptions& options = {}) const;

  // Runs `program` with `args` here and waits for it.
  RunResult runCommand(const std::vector<const char*>& args, const RunOptions& options = {}) const;

  // Starts fare-settle here; whether it is still running; waits for its end.
  Started start() const;
  static bool running(const Started& run);
  static RunResult finish(const Started& run);

  // Starts n runs of fare-settle here at once and waits for all of them.
  std::vector<RunResult> runTogether(int n) const;

 private:
  std::string dir_;
};

#endif  // FARE_SETTLE_TESTS_BATCH_H_
