// Test helpers: scratch directories, running the binary, CP949 expectations.
#include "batch.h"

#include <fcntl.h>
#include <iconv.h>
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

Batch::Batch() {
  char templ[] = "/tmp/fare-settle-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) std::abort();
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

RunResult Batch::run(const char* arg) const {
  std::string outPath = dir_ + ".out";
  std::string errPath = dir_ + ".err";
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || chdir(dir_.c_str()) != 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    execl(FARE_SETTLE_BIN, "fare-settle", arg, static_cast<char*>(nullptr));
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  std::ifstream o(outPath, std::ios::binary), e(errPath, std::ios::binary);
  r.out.assign(std::istreambuf_iterator<char>(o), {});
  r.err.assign(std::istreambuf_iterator<char>(e), {});
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return r;
}
