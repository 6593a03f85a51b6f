// A day's groups of batches settled ahead on worker threads while the
// calling thread appends the ones before: each group settled in as many
// parts as there are threads, handed over whole and in order, a few at
// most waiting settled at once.
#ifndef FARE_SETTLE_TOOLS_DAY_GROUPS_H_
#define FARE_SETTLE_TOOLS_DAY_GROUPS_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "settling.h"

class SettledGroups {
 public:
  // With one thread, each group is settled when it is taken, on the caller's.
  SettledGroups(const Day& day, const DayBatches& batches, int groupBatches, bool keep,
                int threads);
  ~SettledGroups();
  SettledGroups(const SettledGroups&) = delete;
  SettledGroups& operator=(const SettledGroups&) = delete;

  int count() const { return groups_; }
  // Group g, settled: taken in order from 0; valid until the next take.
  const SettledLines& take(int g);
  // Stops the workers once their groups are settled, and joins them.
  void stop();

 private:
  void work();
  void settle(int unit, SettledLines* lines) const;
  std::unique_ptr<SettledLines> spare();
  void join(SettledLines* whole, const SettledLines& part);

  const Day& day_;
  const DayBatches& batches_;
  const int groupBatches_;
  const bool keep_;
  const int groups_;
  const int parts_;  // units a group is settled in
  const int ahead_;  // units settled or being settled beyond the group taken
  std::mutex mutex_;
  std::condition_variable settled_, room_;
  std::vector<std::unique_ptr<SettledLines>> slots_;   // by unit, until taken
  std::vector<std::unique_ptr<SettledLines>> spares_;  // taken and done with: their room reused
  std::unique_ptr<SettledLines> current_;
  int next_ = 0;   // the next unit to settle
  int taken_ = 0;  // units taken
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

#endif  // FARE_SETTLE_TOOLS_DAY_GROUPS_H_
