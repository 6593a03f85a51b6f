// Work shared among a few threads of the standard library: each piece taken
// by one thread, the calling thread one of them, all joined before return.
#ifndef FARE_SETTLE_TOOLS_PARALLEL_H_
#define FARE_SETTLE_TOOLS_PARALLEL_H_

#include <pthread.h>
#include <sched.h>
#include <signal.h>

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

// Calls work(i) for every i in [0, count) on at most `threads` threads. A
// thread the host refuses to start leaves its share to the others.
template <class Work>
void onThreads(int threads, size_t count, const Work& work) {
  std::atomic<size_t> next{0};
  auto take = [&] {
    for (size_t i; (i = next.fetch_add(1)) < count;) work(i);
  };
  std::vector<std::thread> helpers;
  {
    SignalsStayHere quiet;
    for (int t = 1; t < threads && static_cast<size_t>(t) < count; t++) {
      try {
        helpers.emplace_back(take);
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  take();
  for (std::thread& h : helpers) h.join();
}

#endif  // FARE_SETTLE_TOOLS_PARALLEL_H_
