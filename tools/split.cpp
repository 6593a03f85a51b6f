// fare-settle-split METRO BUS DIR [--ledgers LEDGERDIR] [--batch-taps N]:
// cuts a day's two tap files into batch directories DIR/000001, ... of
// whole journeys, at most 100 (or N) taps each, reading every line with
// fare-settle's own parser and naming on standard error every line a run
// would name.
//
// Only a finished tree is ever settled. A new DIR is built under a
// temporary name beside it (DIR.partial-XXXXXX), flushed to stable storage
// whole, marked finished (split-finished, with its counts, written last),
// and renamed into place, the rename flushed. An empty DIR (a mount point,
// a directory made for the operators' group) is filled in place, keeping
// its mode and owner, and marked last. A split that fails removes what it
// wrote; a crash leaves a tree without the mark, which no runner settles.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "day_input.h"
#include "durable.h"
#include "split_mark.h"

namespace {

// What a failed split removes: the temporary tree, or the entries it made
// in an empty DIR.
struct Written {
  std::string temporary;
  std::string dir;
  std::vector<std::string> entries;
} written;

void removeWritten() {
  std::error_code ignored;
  if (!written.temporary.empty()) std::filesystem::remove_all(written.temporary, ignored);
  for (const std::string& entry : written.entries)
    std::filesystem::remove_all(written.dir + "/" + entry, ignored);
}

// Names the failure by the path under DIR, as an operator knows it.
[[noreturn]] void fail(const std::string& what, int error) {
  std::string shown = what;
  if (!written.temporary.empty() && shown.starts_with(written.temporary))
    shown = written.dir + shown.substr(written.temporary.size());
  std::fprintf(stderr, "fare-settle-split: %s: %s\n", shown.c_str(), describeRead(error));
  removeWritten();
  std::exit(1);
}

void makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0) fail(path, errno);
}

void writeFile(const std::string& path, const std::string& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) fail(path, errno);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  int error = errno;
  if (std::fclose(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) fail(path, error);
}

// A batch's tap files, its map from batch lines to source lines
// ("bus.txt:7 day-bus.txt:123456"), and links to the shared ledgers.
void writeBatch(const std::string& dir, const Day& day, const uint32_t* members, size_t count,
                const std::string& ledgers, bool links) {
  makeDirectory(dir);
  std::string taps[2], origin;
  long long numbers[2] = {0, 0};
  for (size_t i = 0; i < count; i++) {
    const DayLine& line = day.lines[members[i]];
    const DaySource& source = day.sources[line.source];
    taps[line.source].append(source.bytes.data() + line.offset, line.length).push_back('\n');
    origin += std::string(source.batch) + ":" + std::to_string(++numbers[line.source]) + " " +
              source.name + ":" + std::to_string(line.number) + "\n";
  }
  for (int s = 0; s < 2; s++) writeFile(dir + "/" + day.sources[s].batch, taps[s]);
  writeFile(dir + "/origin.txt", origin);
  if (!links) return;
  for (const char* ledger : {"busCompany.txt", "metroCompany.txt"}) {
    std::string target = ledgers + "/" + ledger;
    if (symlink(target.c_str(), (dir + "/" + ledger).c_str()) != 0) fail(dir + "/" + ledger, errno);
  }
}

// 1 when DIR is an empty directory, 0 when absent, -1 when anything else.
int emptyDirectory(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return -1;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int entries = 0;
  while (const dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) entries++;
  closedir(d);
  return entries == 0 ? 1 : -1;
}

// Every file written so far on stable storage: one flush of the whole file
// system where the host has it, rather than one per file.
void flushTree(const std::string& dir) {
#ifdef __linux__
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail(dir, errno);
  int error = syncfs(fd) == 0 ? 0 : errno;
  (void)close(fd);
  if (error != 0) fail(dir, error);
#else
  (void)dir;
  sync();
#endif
}

// A temporary tree beside DIR, with the mode a plain mkdir would give.
std::string makeTemporary(const std::string& dir) {
  std::string name = dir + ".partial-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) fail(name, errno);
  mode_t mask = umask(0);
  umask(mask);
  if (chmod(name.c_str(), 0777 & ~mask) != 0) fail(name, errno);
  return name;
}

constexpr char USAGE[] =
    "usage: fare-settle-split METRO BUS DIR [--ledgers LEDGERDIR] [--batch-taps N]\n"
    "       fare-settle-split --help | --version\n";

[[noreturn]] void usage(const char* what, const char* arg) {
  usageError("fare-settle-split", what, arg, USAGE);
}

}  // namespace

int main(int argc, char** argv) {
  answerHelpAndVersion(argc, argv, "fare-settle-split", USAGE);
  std::vector<const char*> paths;
  std::string ledgers = "..";  // relative to a batch: DIR itself
  int cap = TAP_CAPACITY;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--batch-taps") == 0 && i + 1 < argc) {
      char* end = nullptr;
      long n = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || n < 1 || n > TAP_CAPACITY)
        usage("--batch-taps: not a count from 1 to 100", argv[i]);
      cap = static_cast<int>(n);
      continue;
    }
    if (std::strcmp(argv[i], "--ledgers") == 0 && i + 1 < argc) {
      ledgers = argv[++i];
      if (ledgers[0] != '/') ledgers = "../" + ledgers;  // given relative to DIR
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      usage("unknown option, or one without its value", argv[i]);
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() > 3) usage("one path too many", paths[3]);
  if (paths.size() < 3) usage("METRO, BUS and DIR are needed", nullptr);
  Day day;
  day.sources[0].name = paths[0];
  day.sources[1].name = paths[1];
  std::string dir = paths[2];
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  for (DaySource& s : day.sources)
    if (int error = readWholeFile(s.name, &s.bytes)) fail(s.name, error);
  int state = emptyDirectory(dir);
  if (state < 0) {
    std::fprintf(stderr, "fare-settle-split: %s: exists and is not an empty directory\n",
                 dir.c_str());
    return 1;
  }

  readDay(&day);
  packDay(&day, cap);
  SplitCounts counts;
  counts.linesNamed = noteDay(day, false);
  for (const NamedLine& n : day.named)
    if (n.verdict != TAP_STORED) counts.linesRefused++;
  BigVector<uint32_t> order;
  std::vector<uint32_t> tooLong;
  std::vector<size_t> start;
  linesByBatch(day, &order, &start, &tooLong);
  for (const DayJourney& j : day.journeys)
    if (j.batch < 0) counts.journeysTooLong++;

  written.dir = dir;
  std::string target = dir;
  if (state == 0) target = written.temporary = makeTemporary(dir);
  char name[16];
  for (int b = 0; b < day.batches; b++) {
    std::snprintf(name, sizeof name, "%06d", b + 1);
    if (state == 1) written.entries.push_back(name);
    writeBatch(target + "/" + name, day, order.data() + start[static_cast<size_t>(b)],
               start[static_cast<size_t>(b) + 1] - start[static_cast<size_t>(b)], ledgers, true);
  }
  if (!tooLong.empty()) {
    if (state == 1) written.entries.push_back("too-long");
    writeBatch(target + "/too-long", day, tooLong.data(), tooLong.size(), ledgers, false);
  }
  counts.batches = day.batches;
  counts.taps = static_cast<long long>(order.size());
  counts.tapsTooLong = static_cast<long long>(tooLong.size());

  flushTree(target);
  if (state == 1) written.entries.push_back(SPLIT_MARK);
  if (int error = writeDurably(target + "/" + SPLIT_MARK, splitMarkText(counts)))
    fail(target + "/" + SPLIT_MARK, error);
  if (state == 0) {
    if (std::rename(target.c_str(), dir.c_str()) != 0) fail(dir, errno);
    written.temporary.clear();
    if (int error = flushDirectoryAt(parentOf(dir))) fail(parentOf(dir), error);
  }

  std::printf("fare-settle-split: %lld taps in %d batches, %.1f taps per batch; %lld lines named\n",
              counts.taps, day.batches,
              day.batches > 0 ? static_cast<double>(counts.taps) / day.batches : 0.0,
              counts.linesNamed);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
