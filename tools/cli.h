// What every command beside the program takes: --help (usage on standard
// output, status 0) and --version; a usage error names the argument at fault.
#ifndef FARE_SETTLE_TOOLS_CLI_H_
#define FARE_SETTLE_TOOLS_CLI_H_

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Answers --help or --version standing before any "--", and exits 0.
inline void answerHelpAndVersion(int argc, char** argv, const char* me, const char* usage) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(usage, stdout);
      std::exit(std::fflush(stdout) == 0 ? 0 : 2);
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", me, FARE_SETTLE_VERSION);
      std::exit(std::fflush(stdout) == 0 ? 0 : 2);
    }
  }
}

// "ME: WHAT: ARG", then the usage, on standard error; status 2.
[[noreturn]] inline void usageError(const char* me, const char* what, const char* arg,
                                    const char* usage) {
  if (arg != nullptr)
    std::fprintf(stderr, "%s: %s: %s\n", me, what, arg);
  else
    std::fprintf(stderr, "%s: %s\n", me, what);
  std::fputs(usage, stderr);
  std::exit(2);
}

#endif  // FARE_SETTLE_TOOLS_CLI_H_
