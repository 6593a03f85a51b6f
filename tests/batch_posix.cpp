// The test helpers' host side on POSIX: fork and exec, iconv, fcntl locks.
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "batch.h"

namespace {

// The host's iconv command, for an emulated test binary: its C library has
// no conversion modules beside it, but it can start a host program.
std::string hostIconv(const std::string& utf8) {
  Batch b;
  b.write("utf8", utf8);
  RunResult r = b.runCommand({"iconv", "-f", "UTF-8", "-t", "CP949", "utf8"});
  if (r.status != 0) std::abort();
  return r.out;
}

}  // namespace

std::string cp949(const std::string& utf8) {
  iconv_t cd = iconv_open("CP949", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (kEmulated) return hostIconv(utf8);
    std::abort();
  }
  std::vector<char> out(utf8.size() * 2 + 1);
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* o = out.data();
  size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1)) std::abort();
  iconv_close(cd);
  return std::string(out.data(), static_cast<size_t>(o - out.data()));
}

bool hostCan(const RunOptions&) {
  return true;
}

// Under $TMPDIR, else /tmp.
std::string makeScratchDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fare-settle-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) std::abort();
  return templ;
}

// Starts args[0] in dir with stdout and stderr going to files of their own,
// or as the options say.
Started spawn(const std::string& dir, const std::vector<const char*>& args,
              const RunOptions& options) {
  static int serial = 0;
  std::string base = dir + "." + std::to_string(getpid()) + "." + std::to_string(serial++);
  Started s{-1, base + ".out", base + ".err"};
  std::vector<const char*> argv = args;
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
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
    if (options.closeStderr) close(2);
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
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  s.process = pid;  // -1 when fork failed: the run then reads as not exited
  return s;
}

int waitFor(const Started& run) {
  const pid_t pid = static_cast<pid_t>(run.process);
  if (pid <= 0) return -1;  // never waitpid(-1): that would reap any child
  int wstatus = 0;
  pid_t got;
  while ((got = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
  }
  if (got != pid) return -1;
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

void Batch::signal(const Started& run, int signal) {
  if (run.process > 0) kill(static_cast<pid_t>(run.process), signal);
}

bool Batch::running(const Started& run) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(run.process), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// Record locks belong to the process: reading the file through another
// descriptor and closing it would drop the lock.
HeldLock::HeldLock(const std::string& path) : handle_(open(path.c_str(), O_RDWR)), held_(false) {
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  held_ = handle_ >= 0 && fcntl(static_cast<int>(handle_), F_SETLK, &whole) == 0;
}

HeldLock::~HeldLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}
