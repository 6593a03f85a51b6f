// fare-settle-split METRO BUS DIR [--ledgers LEDGERDIR] [--batch-taps N]:
// cuts a day's two tap files into batch directories DIR/000001, ... of
// whole journeys, at most 100 (or N) taps each, reading every line with
// fare-settle's own parser and naming on standard error every line a run
// would name.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "intake.h"

namespace {

struct Source {
  const char* name;   // as given on the command line, for the notes
  const char* batch;  // the file it becomes in a batch
  std::string bytes;
};

// A stored tap line of a source file.
struct Line {
  int source;
  long long number;
  size_t offset;
  size_t length;  // without its LF
  int journey;
};

struct Journey {
  std::string key;
  int taps = 0;
  int batch = -1;  // -1: longer than a run
};

[[noreturn]] void fail(const std::string& what, int error) {
  std::fprintf(stderr, "fare-settle-split: %s: %s\n", what.c_str(), std::strerror(error));
  std::exit(1);
}

bool readWhole(const char* path, std::string* bytes) {
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return false;
  char chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes->append(chunk, n);
  bool ok = !std::ferror(in);
  std::fclose(in);
  return ok;
}

// Every line of each source, in order: stored taps go to `lines`, keyed
// to their journey; refused and odd lines are named as a run names them.
void readDay(Source* sources, std::vector<Line>* lines, std::vector<Journey>* journeys,
             long long* named) {
  std::unordered_map<std::string, int> journeyOf;
  for (int s = 0; s < 2; s++) {
    const std::string& bytes = sources[s].bytes;
    size_t at = 0;
    long long number = 0;
    while (at < bytes.size()) {
      const char* start = bytes.data() + at;
      const void* lf = std::memchr(start, '\n', bytes.size() - at);
      size_t length = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start)
                                    : bytes.size() - at;
      number++;
      TermInfo tap;
      TapNotes notes;
      TapLine verdict = readTapLine(start, length, &tap, &notes);
      if (noteTapLine(sources[s].name, number, verdict, tap, notes)) (*named)++;
      if (verdict == TAP_STORED) {
        auto [it, added] = journeyOf.try_emplace(tap.ti, static_cast<int>(journeys->size()));
        if (added) journeys->push_back({tap.ti});
        (*journeys)[static_cast<size_t>(it->second)].taps++;
        lines->push_back({s, number, at, length, it->second});
      }
      at += length + 1;
    }
  }
}

// Whole journeys into batches of at most `cap` taps (a longer journey that
// a run still holds gets a batch of its own), in the order their keys first
// appear; returns the number of batches.
int pack(std::vector<Journey>* journeys, int cap) {
  int batches = 0;
  int filled = cap;
  for (Journey& j : *journeys) {
    if (j.taps > TAP_CAPACITY) {
      std::fprintf(stderr, "%s: %d taps; a run holds %d\n", j.key.c_str(), j.taps, TAP_CAPACITY);
      continue;
    }
    if (filled + j.taps > cap) {
      batches++;
      filled = 0;
    }
    j.batch = batches - 1;
    filled += j.taps;
  }
  return batches;
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
void writeBatch(const std::string& dir, const Source* sources, const std::vector<Line>& lines,
                const std::vector<size_t>& members, const std::string& ledgers, bool links) {
  makeDirectory(dir);
  std::string taps[2], origin;
  long long numbers[2] = {0, 0};
  for (size_t i : members) {
    const Line& line = lines[i];
    taps[line.source].append(sources[line.source].bytes, line.offset, line.length).push_back('\n');
    origin += std::string(sources[line.source].batch) + ":" +
              std::to_string(++numbers[line.source]) + " " + sources[line.source].name + ":" +
              std::to_string(line.number) + "\n";
  }
  for (int s = 0; s < 2; s++) writeFile(dir + "/" + sources[s].batch, taps[s]);
  writeFile(dir + "/origin.txt", origin);
  if (!links) return;
  for (const char* ledger : {"busCompany.txt", "metroCompany.txt"}) {
    std::string target = ledgers + "/" + ledger;
    if (symlink(target.c_str(), (dir + "/" + ledger).c_str()) != 0) fail(dir + "/" + ledger, errno);
  }
}

bool emptyOrAbsent(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return false;
  return rmdir(dir.c_str()) == 0;  // succeeds only when empty; made again below
}

int usage() {
  std::fprintf(stderr,
               "usage: fare-settle-split METRO BUS DIR [--ledgers LEDGERDIR] [--batch-taps N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> paths;
  std::string ledgers = "..";  // relative to a batch: DIR itself
  int cap = TAP_CAPACITY;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--batch-taps") == 0 && i + 1 < argc) {
      char* end = nullptr;
      long n = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || n < 1 || n > TAP_CAPACITY) return usage();
      cap = static_cast<int>(n);
      continue;
    }
    if (std::strcmp(argv[i], "--ledgers") == 0 && i + 1 < argc) {
      ledgers = argv[++i];
      if (ledgers[0] != '/') ledgers = "../" + ledgers;  // given relative to DIR
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return usage();
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() != 3) return usage();
  Source sources[2] = {{paths[0], "metro.txt", {}}, {paths[1], "bus.txt", {}}};
  const std::string dir = paths[2];
  for (Source& s : sources)
    if (!readWhole(s.name, &s.bytes)) fail(s.name, errno);
  if (!emptyOrAbsent(dir)) {
    std::fprintf(stderr, "fare-settle-split: %s: exists and is not an empty directory\n",
                 dir.c_str());
    return 1;
  }

  std::vector<Line> lines;
  std::vector<Journey> journeys;
  long long named = 0;
  readDay(sources, &lines, &journeys, &named);
  int batches = pack(&journeys, cap);

  std::vector<std::vector<size_t>> members(static_cast<size_t>(batches));
  std::vector<size_t> tooLong;
  for (size_t i = 0; i < lines.size(); i++) {
    int b = journeys[static_cast<size_t>(lines[i].journey)].batch;
    (b < 0 ? tooLong : members[static_cast<size_t>(b)]).push_back(i);
  }
  makeDirectory(dir);
  char name[16];
  for (int b = 0; b < batches; b++) {
    std::snprintf(name, sizeof name, "/%06d", b + 1);
    writeBatch(dir + name, sources, lines, members[static_cast<size_t>(b)], ledgers, true);
  }
  if (!tooLong.empty()) writeBatch(dir + "/too-long", sources, lines, tooLong, ledgers, false);

  long long placed = static_cast<long long>(lines.size() - tooLong.size());
  std::printf("fare-settle-split: %lld taps in %d batches, %.1f taps per batch; %lld lines named\n",
              placed, batches, batches > 0 ? static_cast<double>(placed) / batches : 0.0, named);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
