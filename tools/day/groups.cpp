// Groups of batches settled on worker threads, handed over in order. A
// group's lines are the same whichever thread settles it: settling touches
// nothing shared but the day, which nobody changes meanwhile.
#include "groups.h"

#include <algorithm>

#include "parallel.h"

SettledGroups::SettledGroups(const Day& day, const DayBatches& batches, int groupBatches, bool keep,
                             int threads)
    : day_(day),
      batches_(batches),
      groupBatches_(groupBatches),
      keep_(keep),
      groups_((day.batches + groupBatches - 1) / groupBatches),
      parts_(std::max(threads, 1)),
      ahead_(2 * parts_),
      slots_(static_cast<size_t>(groups_) * static_cast<size_t>(parts_)) {
  // Without a worker, take() settles each group itself.
  if (threads > 1) startThreads(&workers_, threads, [this] { work(); });
}

SettledGroups::~SettledGroups() {
  stop();
}

void SettledGroups::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
  for (std::thread& w : workers_) w.join();
  workers_.clear();
}

// Unit u: part u % parts_ of group u / parts_, its batches in order.
void SettledGroups::settle(int unit, SettledLines* lines) const {
  const int g = unit / parts_, part = unit % parts_;
  const int first = g * groupBatches_;
  const int count = std::min(groupBatches_, day_.batches - first);
  const int from = first + static_cast<int>(static_cast<long long>(count) * part / parts_);
  const int to = first + static_cast<int>(static_cast<long long>(count) * (part + 1) / parts_);
  settleBatches(day_, batches_, from, to - 1, lines, keep_);
}

// A group's part after the parts before it.
void SettledGroups::join(SettledLines* whole, const SettledLines& part) {
  for (int l = 0; l < 2; l++) {
    const auto base = static_cast<uint32_t>(whole->bytes[l].size());
    whole->bytes[l] += part.bytes[l];
    for (uint32_t end : part.ends[l]) whole->ends[l].push_back(base + end);
    whole->batchOf[l].insert(whole->batchOf[l].end(), part.batchOf[l].begin(),
                             part.batchOf[l].end());
  }
  whole->journeys += part.journeys;
  whole->totals.add(part.totals);
}

// A group's lines made empty, keeping the room a taken group's had.
std::unique_ptr<SettledLines> SettledGroups::spare() {
  if (spares_.empty()) return std::make_unique<SettledLines>();
  std::unique_ptr<SettledLines> lines = std::move(spares_.back());
  spares_.pop_back();
  for (int l = 0; l < 2; l++) {
    lines->bytes[l].clear();
    lines->ends[l].clear();
    lines->batchOf[l].clear();
  }
  lines->journeys.clear();
  lines->totals = DayTotals();
  return lines;
}

void SettledGroups::work() {
  for (;;) {
    std::unique_ptr<SettledLines> lines;
    int g = 0;
    {
      std::unique_lock<std::mutex> hold(mutex_);
      const int units = groups_ * parts_;
      room_.wait(hold, [&] { return stopping_ || next_ >= units || next_ < taken_ + ahead_; });
      if (stopping_ || next_ >= units) return;
      g = next_++;
      lines = spare();
    }
    settle(g, lines.get());
    {
      std::lock_guard<std::mutex> hold(mutex_);
      slots_[static_cast<size_t>(g)] = std::move(lines);
    }
    settled_.notify_all();
  }
}

const SettledLines& SettledGroups::take(int g) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (current_ != nullptr) spares_.push_back(std::move(current_));
  const int first = g * parts_;
  for (int u = first; u < first + parts_; u++) {
    std::unique_ptr<SettledLines> part;
    if (workers_.empty() && next_ <= u) {  // no worker left to settle it: settled here
      next_ = u + 1;
      part = spare();
      hold.unlock();
      settle(u, part.get());
      hold.lock();
    } else {
      settled_.wait(hold, [&] { return slots_[static_cast<size_t>(u)] != nullptr; });
      part = std::move(slots_[static_cast<size_t>(u)]);
    }
    if (u == first) {
      current_ = std::move(part);
      continue;
    }
    hold.unlock();
    join(current_.get(), *part);
    hold.lock();
    spares_.push_back(std::move(part));
  }
  taken_ = first + parts_;
  hold.unlock();
  room_.notify_all();
  return *current_;
}
