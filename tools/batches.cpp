// fare-settle-batches [-j N] [--timeout S] DIR...: settles every batch of
// each finished split DIR (DIR/000001, ... as fare-settle-split makes
// them) exactly once, on one machine or on many sharing DIR.
//
// A batch is claimed by mkdir(BATCH/claimed), which succeeds for one caller
// at most, on local disks and on NFS, CephFS and GlusterFS. Its run is
// fare-settle by absolute path, started in the batch with its trace going
// to trace.cp949 and its standard error through the runner to errors, so
// that what a run said is known even where errors cannot be written. The
// outcome is written last and flushed, in one write of a few bytes; the
// directory is not flushed (on ceph-fuse that can stall the mount for
// minutes while another client works in it). After a crash a batch has its
// outcome or none (a partial or lost one reads as none), and one claimed
// without an outcome is listed, never run again. A run that could not be
// started appends nothing: its claim is released, so a later pass runs it.
// A batch that no copy claimed is tried again, up to three passes
// (GlusterFS now and then fails both of two claims that race).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "durable.h"
#include "split_mark.h"

namespace {

constexpr char ME[] = "fare-settle-batches";
constexpr int PASSES = 3;
constexpr int KILL_GRACE = 10;  // seconds from SIGTERM to SIGKILL past the time limit

struct Batch {
  std::string path;
  std::string notStarted;  // why this run could not start it, when it could not
  std::string outcome;     // what this run settled it as
  std::string errors;      // what that run said on standard error
  std::string lost;        // why its outcome could not be written
};

struct Tree {
  std::string dir;
  SplitCounts split;
  std::vector<Batch> batches;
};

struct Run {
  Batch* batch;
  pid_t pid;
  int errors;  // read end of its standard error; -1 once at its end
  bool exited = false;
  int status = 0;
  double deadline = 0;  // on the monotonic clock; 0: no time limit
  bool terminated = false;
};

struct Options {
  int jobs = 1;
  long timeout = 0;
  std::string program;
};

// Seconds on a clock that no change of the date moves.
double monotonic() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

volatile sig_atomic_t stopSignal = 0;
int wakeUp[2] = {-1, -1};  // the handlers' self-pipe, so that poll sees every signal

void onSignal(int signal) {
  if (signal != SIGCHLD && stopSignal == 0) stopSignal = signal;
  int saved = errno;
  (void)!write(wakeUp[1], "", 1);
  errno = saved;
}

void catchSignals() {
  if (pipe(wakeUp) != 0) return;
  for (int fd : wakeUp) (void)fcntl(fd, F_SETFL, O_NONBLOCK), (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
  struct sigaction action = {};
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) (void)sigaction(s, &action, nullptr);
}

// Accepts decimal digits only, a value from 1 to `max`; writes *value only then.
bool parseCount(const char* text, long max, long* value) {
  if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) return false;
  long v = 0;
  for (const char* p = text; *p != '\0'; p++) {
    v = v * 10 + (*p - '0');
    if (v > max) return false;
  }
  if (v < 1) return false;
  *value = v;
  return true;
}

constexpr char USAGE[] =
    "usage: fare-settle-batches [-j N] [--timeout S] DIR...\n"
    "       fare-settle-batches --help | --version\n";

[[noreturn]] void usage(const char* what, const char* arg) {
  usageError(ME, what, arg, USAGE);
}

// fare-settle by an absolute path, links resolved: $FARE_SETTLE, or the
// one beside this command's own file (not beside a link to it).
std::string findProgram(const char* argv0) {
  const char* given = std::getenv("FARE_SETTLE");
  std::string candidate;
  if (given != nullptr && *given != '\0') {
    candidate = given;
  } else {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string me = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv0;
    char resolved[PATH_MAX];
    if (n <= 0 && realpath(argv0, resolved) != nullptr) me = resolved;
    candidate = parentOf(me) + "/fare-settle";
  }
  char resolved[PATH_MAX];
  if (realpath(candidate.c_str(), resolved) == nullptr || access(resolved, X_OK) != 0) {
    std::fprintf(stderr, "%s: %s: not found\n", ME, candidate.c_str());
    std::exit(2);
  }
  return resolved;
}

bool readText(const std::string& path, std::string* text) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text->append(chunk, n);
  bool ok = !std::ferror(in);
  std::fclose(in);
  return ok;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A finished split's batches, in order; a DIR that is not one ends the
// runner with status 2 before anything is claimed.
Tree openTree(const std::string& dir) {
  Tree tree{dir, {}, {}};
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: %s: not a directory\n", ME, dir.c_str());
    std::exit(2);
  }
  std::string mark;
  if (!readText(dir + "/" + SPLIT_MARK, &mark) || !parseSplitMark(mark, &tree.split)) {
    std::fprintf(stderr, "%s: %s: not a finished split\n", ME, dir.c_str());
    std::exit(2);
  }
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    std::fprintf(stderr, "%s: %s: %s\n", ME, dir.c_str(), std::strerror(errno));
    std::exit(2);
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
      names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    tree.batches.emplace_back();
    tree.batches.back().path = path;
  }
  return tree;
}

void releaseClaim(const Batch& b) {
  (void)unlink((b.path + "/claimed/by").c_str());
  (void)rmdir((b.path + "/claimed").c_str());
}

void notStarted(Batch* b, const std::string& why) {
  b->notStarted = why;
  releaseClaim(*b);
}

// Claims the batch and starts its run; false when it is not this
// runner's to run, or could not be started (then said in the batch).
bool start(Batch* b, const Options& options, std::vector<Run>* runs) {
  b->notStarted.clear();
  for (const char* link : {"busCompany.txt", "metroCompany.txt"}) {
    if (!exists(b->path + "/" + link)) {
      b->notStarted = std::string("its ledger link ") + link + " is missing";
      return false;
    }
  }
  const std::string claim = b->path + "/claimed";
  if (mkdir(claim.c_str(), 0777) != 0) {
    if (errno != EEXIST)
      std::fprintf(stderr, "%s: %s: not claimed: %s: %s\n", ME, b->path.c_str(), claim.c_str(),
                   std::strerror(errno));
    return false;
  }
  char host[256] = "";
  (void)gethostname(host, sizeof host - 1);
  std::string by = std::string(host) + " " + std::to_string(getpid()) + "\n";
  if (FILE* f = std::fopen((claim + "/by").c_str(), "wb")) {
    (void)std::fwrite(by.data(), 1, by.size(), f);
    (void)std::fclose(f);
  }
  const std::string tracePath = b->path + "/trace.cp949";
  int trace = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (trace < 0) {
    notStarted(b, tracePath + ": " + std::strerror(errno));
    return false;
  }
  int errors[2], report[2];
  if (pipe(errors) != 0 || pipe(report) != 0) {
    (void)close(trace);
    notStarted(b, std::string("pipe: ") + std::strerror(errno));
    return false;
  }
  for (int fd : {errors[0], errors[1], report[0], report[1]}) (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) (void)sigaction(s, &plain, nullptr);
    int error = 0;
    if (chdir(b->path.c_str()) != 0 || dup2(trace, 1) < 0 || dup2(errors[1], 2) < 0) error = errno;
    if (error == 0) {
      const char* argv[] = {options.program.c_str(), nullptr};
      execv(argv[0], const_cast<char* const*>(argv));
      error = errno;
    }
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  int forkError = errno;
  (void)close(trace);
  (void)close(errors[1]);
  (void)close(report[1]);
  int execError = 0;
  ssize_t n = 0;
  if (pid > 0) {
    while ((n = read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
  }
  (void)close(report[0]);
  if (pid < 0 || n == static_cast<ssize_t>(sizeof execError)) {
    if (pid > 0) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    (void)close(errors[0]);
    (void)unlink(tracePath.c_str());
    notStarted(b, pid < 0 ? std::string("fork: ") + std::strerror(forkError)
                          : options.program + ": " + std::strerror(execError));
    return false;
  }
  (void)fcntl(errors[0], F_SETFL, O_NONBLOCK);
  Run run{b, pid, errors[0]};
  if (options.timeout > 0) run.deadline = monotonic() + static_cast<double>(options.timeout);
  runs->push_back(run);
  return true;
}

std::string outcomeOf(const Run& run, const Options& options) {
  // A run that ended of itself as its time ran out settled as any other.
  bool cut = WIFSIGNALED(run.status) || WEXITSTATUS(run.status) != 0;
  if (run.terminated && cut)
    return "stopped (time limit of " + std::to_string(options.timeout) + " s)";
  if (WIFSIGNALED(run.status))
    return "stopped (signal " + std::to_string(WTERMSIG(run.status)) + ")";
  if (WEXITSTATUS(run.status) != 0)
    return "stopped (exit status " + std::to_string(WEXITSTATUS(run.status)) + ")";
  return run.batch->errors.empty() ? "settled" : "settled with notes";
}

// Writes `bytes` as `path`, flushed to stable storage when asked.
int writeFile(const std::string& path, const std::string& bytes, bool flush) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int error = writeAll(fd, bytes.data(), bytes.size());
  if (error == 0 && flush && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

// The run's standard error to errors, then its outcome, flushed. It goes
// in place, not through a rename: on ceph-fuse, opening a name another
// client renamed into place stalled the summary for minutes. An outcome cut
// short by a crash is no outcome the summary knows, and reads as none.
void finish(const Run& run, const Options& options) {
  Batch* b = run.batch;
  b->outcome = outcomeOf(run, options);
  const std::string outcome = b->path + "/outcome";
  int error = writeFile(b->path + "/errors", b->errors, !b->errors.empty());
  if (error == 0) error = writeFile(outcome, b->outcome + "\n", true);
  if (error != 0) {
    b->lost = std::strerror(error);
    std::fprintf(stderr, "%s: %s: outcome not written: %s\n", ME, b->path.c_str(), b->lost.c_str());
  }
}

void readErrors(Run* run) {
  char chunk[4096];
  for (;;) {
    ssize_t n = read(run->errors, chunk, sizeof chunk);
    if (n > 0) {
      run->batch->errors.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) {
      (void)close(run->errors);
      run->errors = -1;
    }
    return;
  }
}

void reap(std::vector<Run>* runs) {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    for (Run& run : *runs)
      if (run.pid == pid) run.exited = true, run.status = status;
  }
}

// Sends SIGTERM to a run past its time limit, SIGKILL KILL_GRACE s later.
void enforceTimeLimits(std::vector<Run>* runs, double now) {
  for (Run& run : *runs) {
    if (run.deadline == 0 || run.exited || now < run.deadline) continue;
    (void)kill(run.pid, run.terminated ? SIGKILL : SIGTERM);
    run.terminated = true;
    run.deadline = now + KILL_GRACE;
  }
}

// How long poll may wait: a second at most, less when a limit is nearer.
int waitFor(const std::vector<Run>& runs, double now) {
  double wait = 1.0;
  for (const Run& run : runs)
    if (run.deadline != 0 && !run.exited) wait = std::min(wait, run.deadline - now);
  return wait <= 0 ? 0 : static_cast<int>(wait * 1000) + 1;
}

void showProgress(size_t done, size_t total, time_t began) {
  long seconds = static_cast<long>(std::time(nullptr) - began);
  std::fprintf(stderr, "\r%s: %zu of %zu batches, %ld a second ", ME, done, total,
               static_cast<long>(done) / (seconds > 0 ? seconds : 1));
}

// Runs the batches, `jobs` at once, until each is done or a stop request
// arrives: then no new claim, every run in flight is sent the same signal,
// and each is waited for.
void settlePass(const std::vector<Batch*>& todo, const Options& options) {
  std::vector<Run> runs;
  size_t next = 0, done = 0;
  bool forwarded = false;
  const bool progress = isatty(2) != 0;
  const time_t began = std::time(nullptr);
  time_t shown = 0;
  while (true) {
    while (stopSignal == 0 && runs.size() < static_cast<size_t>(options.jobs) && next < todo.size())
      start(todo[next++], options, &runs);
    if (runs.empty()) break;
    std::vector<pollfd> fds{{wakeUp[0], POLLIN, 0}};
    for (const Run& run : runs)
      if (run.errors >= 0) fds.push_back({run.errors, POLLIN, 0});
    (void)poll(fds.data(), fds.size(), waitFor(runs, monotonic()));
    char drain[64];
    while (read(wakeUp[0], drain, sizeof drain) > 0) {
    }
    if (stopSignal != 0 && !forwarded) {
      for (const Run& run : runs) (void)kill(run.pid, stopSignal);
      forwarded = true;
    }
    for (Run& run : runs)
      if (run.errors >= 0) readErrors(&run);
    reap(&runs);
    enforceTimeLimits(&runs, monotonic());
    const time_t now = std::time(nullptr);
    for (size_t i = 0; i < runs.size();) {
      if (runs[i].exited && runs[i].errors < 0) {
        finish(runs[i], options);
        runs.erase(runs.begin() + static_cast<long>(i));
        done++;
      } else {
        i++;
      }
    }
    if (progress && now != shown) {
      showProgress(done, todo.size(), began);
      shown = now;
    }
  }
  if (progress) {
    showProgress(done, todo.size(), began);
    std::fputc('\n', stderr);
  }
}

// The batches no copy has claimed: this runner's to run.
std::vector<Batch*> unclaimed(std::vector<Tree>* trees) {
  std::vector<Batch*> todo;
  for (Tree& tree : *trees)
    for (Batch& b : tree.batches)
      if (b.outcome.empty() && !exists(b.path + "/claimed")) todo.push_back(&b);
  return todo;
}

// The first 20 lines of a run's standard error, indented.
std::string excerpt(const std::string& errors) {
  std::string shown;
  size_t at = 0;
  for (int line = 0; at < errors.size(); line++) {
    if (line == 20) return shown + "  ...\n";
    size_t end = errors.find('\n', at);
    if (end == std::string::npos) end = errors.size();
    shown += "  " + errors.substr(at, end - at) + "\n";
    at = end + 1;
  }
  return shown;
}

enum Count : unsigned char { SETTLED, NOTES, STOPPED, CLAIMED, NOT_STARTED, NOT_CLAIMED, COUNTS };

// Which count a batch is in, from what is on disk and what this run saw,
// with what the summary says of it.
Count classify(const Batch& b, std::string* said, std::string* errors) {
  if (!b.outcome.empty() && !exists(b.path + "/claimed")) {
    *said = "claimed, not settled (its directory vanished while its run was in flight; the run " +
            std::string(b.outcome.starts_with("settled") ? "was " : "") + b.outcome + ")";
    *errors = b.errors;
    return CLAIMED;
  }
  if (!exists(b.path + "/claimed")) {
    if (!b.notStarted.empty()) {
      *said = "not started: " + b.notStarted;
      return NOT_STARTED;
    }
    *said = "not claimed";
    return NOT_CLAIMED;
  }
  std::string outcome;
  if (readText(b.path + "/outcome", &outcome) && !outcome.empty() && outcome.back() == '\n') {
    outcome.pop_back();
    *said = outcome;
    // A clean batch's errors are not read: on ceph-fuse, opening many files
    // that another client wrote can stall for minutes.
    if (outcome == "settled") return SETTLED;
    if (!readText(b.path + "/errors", errors)) *errors = b.errors;
    if (outcome == "settled with notes") return NOTES;
    if (outcome.starts_with("stopped (") && outcome.back() == ')') return STOPPED;
  }
  if (!b.lost.empty()) {
    *said = "claimed, not settled (its outcome could not be written: " + b.lost + "; the run " +
            (b.outcome.starts_with("settled") ? "was " : "") + b.outcome + ")";
    *errors = b.errors;
  } else if (exists(b.path + "/outcome")) {
    *said = "claimed, not settled (its outcome is unreadable)";
  } else {
    *said = "claimed, not settled (running elsewhere, or its runner died)";
  }
  return CLAIMED;
}

// Every batch of every tree in exactly one count, those that need a look
// listed with what their runs said, the split's own to-do counts, then
// the counts. Returns whether nothing needs a look.
bool summarize(const std::vector<Tree>& trees) {
  long long counts[COUNTS] = {};
  bool clean = true;
  for (const Tree& tree : trees) {
    for (const Batch& b : tree.batches) {
      std::string said, errors;
      Count c = classify(b, &said, &errors);
      counts[c]++;
      if (c == SETTLED) continue;
      std::fprintf(stderr, "%s: %s\n%s", b.path.c_str(), said.c_str(), excerpt(errors).c_str());
    }
    const SplitCounts& s = tree.split;
    if (s.linesRefused > 0) {
      std::fprintf(stderr, "%s: the split refused %lld lines, which are in no batch\n",
                   tree.dir.c_str(), s.linesRefused);
      clean = false;
    }
    if (s.journeysTooLong > 0) {
      std::fprintf(stderr,
                   "%s: the split set apart %lld journeys too long for a run (%lld taps, in "
                   "%s/too-long)\n",
                   tree.dir.c_str(), s.journeysTooLong, s.tapsTooLong, tree.dir.c_str());
      clean = false;
    }
    if (tree.batches.empty()) {
      std::fprintf(stderr, "%s: holds no batch\n", tree.dir.c_str());
      clean = false;
    }
  }
  std::fprintf(stderr,
               "%s: %lld settled, %lld settled with notes, %lld stopped, %lld claimed but not "
               "settled, %lld not started, %lld not claimed\n",
               ME, counts[SETTLED], counts[NOTES], counts[STOPPED], counts[CLAIMED],
               counts[NOT_STARTED], counts[NOT_CLAIMED]);
  for (int c = NOTES; c < COUNTS; c++)
    if (counts[c] > 0) clean = false;
  return clean;
}

}  // namespace

int main(int argc, char** argv) {
  answerHelpAndVersion(argc, argv, ME, USAGE);
  Options options;
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  options.jobs = n > 0 ? static_cast<int>(n) : 1;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) {
    const char* arg = argv[i];
    const char* value = nullptr;
    long* target = nullptr;
    long jobs = 0;
    long max = 0;
    if (std::strcmp(arg, "--") == 0) {
      i++;
      break;
    }
    if (std::strncmp(arg, "-j", 2) == 0) {
      value = arg[2] != '\0' ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
      target = &jobs;
      max = 4096;
    } else if (std::strcmp(arg, "--timeout") == 0 || std::strncmp(arg, "--timeout=", 10) == 0) {
      value = arg[9] == '=' ? arg + 10 : (i + 1 < argc ? argv[++i] : nullptr);
      target = &options.timeout;
      max = 31536000;
    } else {
      usage("unknown option", arg);
    }
    if (value == nullptr) usage("option needs a value", arg);
    if (!parseCount(value, max, target)) usage("not a count from 1", value);
    if (target == &jobs) options.jobs = static_cast<int>(jobs);
  }
  if (i >= argc) usage("DIR is needed", nullptr);
  options.program = findProgram(argv[0]);
  std::vector<Tree> trees;
  for (; i < argc; i++) {
    std::string dir = argv[i];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    trees.push_back(openTree(dir));
  }
  catchSignals();
  for (int pass = 0; pass < PASSES && stopSignal == 0; pass++) {
    std::vector<Batch*> todo = unclaimed(&trees);
    if (todo.empty()) break;
    settlePass(todo, options);
  }
  bool clean = summarize(trees);
  if (stopSignal != 0) {
    (void)std::fflush(stderr);
    (void)std::signal(stopSignal, SIG_DFL);
    (void)std::raise(stopSignal);
  }
  return clean ? 0 : 1;
}
