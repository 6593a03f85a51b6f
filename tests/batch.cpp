// Test helpers: scratch directories, running the binary, CP949 expectations.
#include "batch.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

std::string cp949(const std::string& utf8) {
  iconv_t cd = iconv_open("CP949", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) std::abort();
  std::vector<char> out(utf8.size() * 2 + 1);
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* o = out.data();
  size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1)) std::abort();
  iconv_close(cd);
  return std::string(out.data(), static_cast<size_t>(o - out.data()));
}

std::string tempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

Batch::Batch() {
  std::string templ = tempDirectory() + "/fare-settle-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) std::abort();
  dir_ = templ;
}

Batch::~Batch() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void Batch::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(path(name), std::ios::binary) << bytes;
}

std::string Batch::read(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Batch::mkdir(const std::string& name) const {
  std::filesystem::create_directory(path(name));
}

bool Batch::exists(const std::string& name) const {
  return std::filesystem::exists(std::filesystem::symlink_status(path(name)));
}

namespace {

// Starts args[0] in dir with stdout and stderr going to files of their own,
// or as the options say.
Started spawn(const std::string& dir, std::vector<const char*> args,
              const RunOptions& options = {}) {
  static int serial = 0;
  std::string base = dir + "." + std::to_string(getpid()) + "." + std::to_string(serial++);
  Started s{-1, base + ".out", base + ".err"};
  args.push_back(nullptr);
  s.pid = fork();
  if (s.pid == 0) {
    const char* outPath = options.stdoutTo != nullptr ? options.stdoutTo : s.outPath.c_str();
    int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    if (options.closeStdin) close(0);
    if (options.closeStdout) close(1);
    if (options.stdoutPipeWithNoReader) {
      int pipeEnds[2];
      if (pipe(pipeEnds) != 0) _exit(127);
      dup2(pipeEnds[1], 1);
      close(pipeEnds[0]);
      close(pipeEnds[1]);
    }
    if (options.fileSizeLimit >= 0) {
      rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                      static_cast<rlim_t>(options.fileSizeLimit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    execvp(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  return s;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::remove(path.c_str());
  return bytes;
}

}  // namespace

RunResult Batch::finish(const Started& run) {
  int wstatus = 0;
  waitpid(run.pid, &wstatus, 0);
  RunResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  r.out = slurp(run.outPath);
  r.err = slurp(run.errPath);
  return r;
}

RunResult Batch::runCommand(const std::vector<const char*>& args, const RunOptions& options) const {
  return finish(spawn(dir_, args, options));
}

Started Batch::start() const {
  return spawn(dir_, {FARE_SETTLE_BIN});
}

bool Batch::running(const Started& run) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<pid_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

RunResult Batch::run(const RunOptions& options) const {
  std::vector<const char*> args = {FARE_SETTLE_BIN};
  if (options.arg != nullptr) args.push_back(options.arg);
  return finish(spawn(dir_, args, options));
}

std::vector<RunResult> Batch::runTogether(int n) const {
  std::vector<Started> started;
  for (int i = 0; i < n; i++) started.push_back(start());
  std::vector<RunResult> results;
  for (const Started& s : started) results.push_back(finish(s));
  return results;
}
