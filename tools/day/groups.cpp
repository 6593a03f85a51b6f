// Groups of batches settled on worker threads, handed over in order. A
// group's lines are the same whichever thread settles it: settling touches
// nothing shared but the day, which nobody changes meanwhile.
#include "groups.h"

#include <algorithm>
#include <system_error>

SettledGroups::SettledGroups(const Day& day, const DayBatches& batches, int groupBatches,
                             bool keep, int threads)
    : day_(day),
      batches_(batches),
      groupBatches_(groupBatches),
      keep_(keep),
      groups_((day.batches + groupBatches - 1) / groupBatches),
      ahead_(threads + 1),
      slots_(static_cast<size_t>(groups_)) {
  for (int t = 0; t < threads && threads > 1; t++) {
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      break;  // a thread the host refuses leaves its share to the others, or to take()
    }
  }
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

void SettledGroups::settle(int g, SettledLines* lines) const {
  const int first = g * groupBatches_;
  const int last = std::min(first + groupBatches_, day_.batches) - 1;
  settleBatches(day_, batches_, first, last, lines, keep_);
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
      room_.wait(hold, [this] { return stopping_ || next_ >= groups_ || next_ < taken_ + ahead_; });
      if (stopping_ || next_ >= groups_) return;
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
  // Without a worker left to settle it, the group is settled here.
  if (workers_.empty() && next_ <= g) {
    next_ = g + 1;
    current_ = spare();
    hold.unlock();
    settle(g, current_.get());
    hold.lock();
  } else {
    settled_.wait(hold, [&] { return slots_[static_cast<size_t>(g)] != nullptr; });
    current_ = std::move(slots_[static_cast<size_t>(g)]);
  }
  taken_ = g + 1;
  hold.unlock();
  room_.notify_all();
  return *current_;
}
