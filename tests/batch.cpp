// Test helpers: scratch directories, running the binary, files as text.
#include "batch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  in.close();
  std::remove(path.c_str());
  return bytes;
}

// Text as the host's text streams write it, read back with LF line ends.
// On Windows a bare LF, which text mode never writes, fails the test.
std::string asText(const std::string& bytes, bool strict) {
#ifdef _WIN32
  std::string text;
  for (size_t i = 0; i < bytes.size(); i++) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (strict && bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
      ADD_FAILURE() << "a line end without CR: " << bytes;
    text += bytes[i];
  }
  return text;
#else
  (void)strict;
  return bytes;
#endif
}

}  // namespace

std::vector<const char*> builtProgram(const char* path) {
  static const std::vector<std::string> emulator = [] {
    std::vector<std::string> words;
    std::istringstream in(FARE_SETTLE_EMULATOR);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
  }();
  std::vector<const char*> args;
  for (const std::string& word : emulator) args.push_back(word.c_str());
  args.push_back(path);
  return args;
}

bool straceRuns() {
  Batch probe;
  return !kSanitized && !kEmulated &&
         probe.runCommand({"strace", "-o", "/dev/null", "true"}).status == 0;
}

std::vector<std::string> linesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

Batch::Batch() : dir_(makeScratchDirectory()) {}

Batch::~Batch() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool Batch::write(const std::string& name, const std::string& bytes, long long hole) const {
  std::ofstream out(path(name), std::ios::binary);
  out.seekp(hole);
  out << bytes;
  out.close();
  return !out.fail();
}

std::string Batch::readBytes(const std::string& name, long long from) const {
  std::ifstream in(path(name), std::ios::binary);
  in.seekg(from);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Earlier lines that a test wrote itself end in LF alone, so no strictness.
std::string Batch::read(const std::string& name, long long from) const {
  return asText(readBytes(name, from), false);
}

void Batch::mkdir(const std::string& name) const {
  std::filesystem::create_directory(path(name));
}

bool Batch::exists(const std::string& name) const {
  return std::filesystem::exists(std::filesystem::symlink_status(path(name)));
}

RunResult Batch::finish(const Started& run) {
  RunResult r;
  r.status = waitFor(run);
  r.out = asText(slurp(run.outPath), true);
  r.err = asText(slurp(run.errPath), true);
  return r;
}

RunResult Batch::runCommand(const std::vector<const char*>& args, const RunOptions& options) const {
  return finish(spawn(dir_, args, options));
}

Started Batch::startCommand(const std::vector<const char*>& args) const {
  return spawn(dir_, args, {});
}

Started Batch::start() const {
  return spawn(dir_, builtProgram(FARE_SETTLE_BIN), {});
}

RunResult Batch::run(const RunOptions& options) const {
  std::vector<const char*> args = builtProgram(FARE_SETTLE_BIN);
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
