// Times whole runs of fare-settle against the floor program on the two full
// batches, in pairs, and prints the median ratio of each batch.
// Usage: whole_run FARE_SETTLE FLOOR [PAIRS]
//        whole_run --batch JOURNEYS DIR   (only writes a batch's tap files)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "batches.h"

extern char** environ;

namespace {

// Runs argv in the current directory with stdout to `out`; returns seconds.
double timedRun(const std::vector<std::string>& argv, const char* out) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) std::exit(1);
  int status;
  waitpid(pid, &status, 0);
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  posix_spawn_file_actions_destroy(&actions);
  return seconds.count();
}

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int lines(const char* path) {
  std::string s = slurp(path);
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void writeBatch(int journeys) {
  TapFiles files = makeBatch(journeys);
  std::ofstream("metro.txt", std::ios::binary) << files.metro;
  std::ofstream("bus.txt", std::ios::binary) << files.bus;
}

void compare(const char* name, int journeys, const std::string& fareSettle,
             const std::string& floorProgram, int pairs) {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("fare-settle-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  writeBatch(journeys);

  // One run tells the floor how many bytes and appends to make.
  timedRun({fareSettle}, "trace.out");
  std::vector<std::string> floorArgs = {floorProgram, std::to_string(slurp("trace.out").size()),
                                        std::to_string(lines("busCompany.txt")),
                                        std::to_string(lines("metroCompany.txt"))};
  std::vector<double> ours, floors, ratios;
  for (int i = 0; i < pairs; i++) {
    double a, b;
    if (i % 2 == 0) {
      a = timedRun({fareSettle}, "/dev/null");
      b = timedRun(floorArgs, "/dev/null");
    } else {
      b = timedRun(floorArgs, "/dev/null");
      a = timedRun({fareSettle}, "/dev/null");
    }
    ours.push_back(a);
    floors.push_back(b);
    ratios.push_back(a / b);
  }
  std::printf("%-12s fare-settle %6.0f us  floor %6.0f us  ratio %.3f (median of %d pairs)\n", name,
              median(ours) * 1e6, median(floors) * 1e6, median(ratios), pairs);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--batch") {
    std::filesystem::create_directories(argv[3]);
    std::filesystem::current_path(argv[3]);
    writeBatch(std::atoi(argv[2]));
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: whole_run FARE_SETTLE FLOOR [PAIRS]\n");
    return 2;
  }
  std::string fareSettle = std::filesystem::absolute(argv[1]);
  std::string floorProgram = std::filesystem::absolute(argv[2]);
  int pairs = argc > 3 ? std::atoi(argv[3]) : 500;
  compare("one journey", 1, fareSettle, floorProgram, pairs);
  compare("37 journeys", 37, fareSettle, floorProgram, pairs);
  return 0;
}
