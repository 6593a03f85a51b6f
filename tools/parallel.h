// Work shared among a few threads of the standard library: each piece taken
// by one thread, the calling thread one of them, all joined before return.
#ifndef FARE_SETTLE_TOOLS_PARALLEL_H_
#define FARE_SETTLE_TOOLS_PARALLEL_H_

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

// The cores this process may run on (its affinity mask), at least 1.
inline int coresAllowed() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

// While it lives, threads started take no signal: a stop request is the
// starting thread's to see, and its waits the ones a signal interrupts.
class SignalsStayHere {
 public:
  SignalsStayHere() {
    sigset_t all;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_BLOCK, &all, &before_);
  }
  ~SignalsStayHere() { (void)pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  SignalsStayHere(const SignalsStayHere&) = delete;
  SignalsStayHere& operator=(const SignalsStayHere&) = delete;

 private:
  sigset_t before_;
};

// Starts up to `count` threads running work(), their signals blocked,
// onto *threads; a thread the host refuses to start ends the starting, and
// its share falls to the threads already there or to the caller.
template <class Work>
void startThreads(std::vector<std::thread>* threads, int count, const Work& work) {
  SignalsStayHere quiet;
  for (int t = 0; t < count; t++) {
    try {
      threads->emplace_back(work);
    } catch (const std::system_error&) {
      return;
    }
  }
}

// Calls work(i) for every i in [0, count) on at most `threads` threads,
// the calling thread one of them.
template <class Work>
void onThreads(int threads, size_t count, const Work& work) {
  std::atomic<size_t> next{0};
  auto take = [&] {
    for (size_t i; (i = next.fetch_add(1)) < count;) work(i);
  };
  std::vector<std::thread> helpers;
  startThreads(&helpers,
               static_cast<int>(std::min<size_t>(static_cast<size_t>(threads), count)) - 1, take);
  take();
  for (std::thread& h : helpers) h.join();
}

#endif  // FARE_SETTLE_TOOLS_PARALLEL_H_
