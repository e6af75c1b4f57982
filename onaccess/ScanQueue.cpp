#include "onaccess/ScanQueue.hpp"

namespace norvid::onaccess {

ScanQueue::ScanQueue(std::size_t capacity, std::chrono::milliseconds rescanInterval,
                     std::size_t openCapacity)
    : capacity_(capacity), rescanInterval_(rescanInterval), openCapacity_(openCapacity) {}

ScanQueue::Admission ScanQueue::keepOrFold(Entry& entry) const {
  // A held start keeps its file: it is answered first and holds its own descriptor anyway.
  if (!entry.content || !entry.held.empty() || waiting_.size() + cooling_.size() < openCapacity_) {
    return Admission::Queued;
  }
  entry.content.reset();
  return Admission::Folded;
}

ScanQueue::Admission ScanQueue::add(const std::string& path, const platform::FileStatus& identity,
                                    HeldStart held, OpenFile content) {
  std::lock_guard lock(mutex_);
  if (closed_) return Admission::Refused;
  if (auto running = inFlight_.find(path); running != inFlight_.end()) {
    // The running scan may have read the file before this write or start: scan it once more.
    running->second.again = true;
    running->second.next.identity = identity;
    running->second.next.content = std::move(content);
    if (held) running->second.next.held.push_back(std::move(held));
    return Admission::Coalesced;
  }
  if (auto resting = cooling_.find(path); resting != cooling_.end()) {
    resting->second.entry.identity = identity;
    // A path folded stays folded, so the open files kept stay within their bound.
    if (resting->second.entry.content) resting->second.entry.content = std::move(content);
    if (held) {
      // A program start waits for nobody's interval.
      Entry entry = std::move(resting->second.entry);
      cooling_.erase(resting);
      entry.held.push_back(std::move(held));
      enqueue(path, std::move(entry));
    }
    return Admission::Coalesced;
  }
  if (auto queued = waiting_.find(path); queued != waiting_.end()) {
    queued->second.identity = identity;
    if (queued->second.content) queued->second.content = std::move(content);
    if (held) {
      if (queued->second.held.empty()) {
        startOrder_.push_back(path);
        ready_.notify_all();
      }
      queued->second.held.push_back(std::move(held));
    }
    return Admission::Coalesced;
  }
  if (waiting_.size() + cooling_.size() >= capacity_) return Admission::Refused;
  Entry entry{identity, {}, std::move(content)};
  if (held) entry.held.push_back(std::move(held));
  const Admission admission = keepOrFold(entry);
  const Clock::time_point now = Clock::now();
  forgetOldScans(now);
  if (auto last = recent_.find(path); !held && last != recent_.end()) {
    cooling_.emplace(path, Cooling{last->second + rescanInterval_, std::move(entry)});
    ready_.notify_all();
    return admission;
  }
  enqueue(path, std::move(entry));
  return admission;
}

ScanQueue::Admission ScanQueue::retry(ScanJob job, std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  if (closed_) return Admission::Refused;
  if (inFlight_.count(job.path) != 0 || cooling_.count(job.path) != 0 ||
      waiting_.count(job.path) != 0) {
    // A newer scan of the file is already asked for; it gives the answer this one lacked.
    return Admission::Coalesced;
  }
  if (waiting_.size() + cooling_.size() >= capacity_) return Admission::Refused;
  Entry entry{job.identity, {}, std::move(job.content), job.attempts};
  const Admission admission = keepOrFold(entry);
  cooling_.emplace(job.path, Cooling{Clock::now() + delay, std::move(entry)});
  ready_.notify_all();
  return admission;
}

void ScanQueue::forgetOldScans(Clock::time_point now) {
  while (!recentOrder_.empty() && recentOrder_.front().first + rescanInterval_ <= now) {
    auto last = recent_.find(recentOrder_.front().second);
    if (last != recent_.end() && last->second == recentOrder_.front().first) recent_.erase(last);
    recentOrder_.pop_front();
  }
}

void ScanQueue::enqueue(const std::string& path, Entry entry) {
  (entry.held.empty() ? writeOrder_ : startOrder_).push_back(path);
  waiting_[path] = std::move(entry);
  // Takers differ in what they take, so every one of them looks.
  ready_.notify_all();
}

std::optional<std::string> ScanQueue::popFrom(std::deque<std::string>& order) {
  while (!order.empty()) {
    std::string path = std::move(order.front());
    order.pop_front();
    if (waiting_.count(path) != 0) return path;
  }
  return std::nullopt;
}

std::optional<ScanQueue::Clock::time_point> ScanQueue::promoteCooled(Clock::time_point now) {
  std::optional<Clock::time_point> next;
  for (auto resting = cooling_.begin(); resting != cooling_.end();) {
    if (resting->second.readyAt <= now) {
      enqueue(resting->first, std::move(resting->second.entry));
      resting = cooling_.erase(resting);
    } else {
      if (!next || resting->second.readyAt < *next) next = resting->second.readyAt;
      ++resting;
    }
  }
  return next;
}

std::optional<ScanJob> ScanQueue::take(bool startsOnly) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (closed_) return std::nullopt;
    const std::optional<Clock::time_point> nextRescan = promoteCooled(Clock::now());
    std::optional<std::string> path = popFrom(startOrder_);
    if (!path && !startsOnly) path = popFrom(writeOrder_);
    if (path) {
      auto node = waiting_.extract(*path);
      const Clock::time_point now = Clock::now();
      inFlight_.emplace(*path, InFlight{now, false, {}});
      if (rescanInterval_.count() > 0) {
        recent_[*path] = now;
        recentOrder_.emplace_back(now, *path);
      }
      Entry& entry = node.mapped();
      return ScanJob{*path, entry.identity, std::move(entry.held), std::move(entry.content),
                     entry.attempts};
    }
    if (nextRescan) {
      ready_.wait_until(lock, *nextRescan);
    } else {
      ready_.wait(lock);
    }
  }
}

void ScanQueue::finish(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto running = inFlight_.find(path);
  if (running == inFlight_.end()) return;
  InFlight done = std::move(running->second);
  inFlight_.erase(running);
  if (!done.again || closed_) return;
  const Clock::time_point readyAt = done.started + rescanInterval_;
  if (!done.next.held.empty() || readyAt <= Clock::now()) {
    enqueue(path, std::move(done.next));
    return;
  }
  cooling_.emplace(path, Cooling{readyAt, std::move(done.next)});
  // A taker may be waiting without a time limit; it has to learn of the rescan to come.
  ready_.notify_all();
}

void ScanQueue::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  waiting_.clear();
  startOrder_.clear();
  writeOrder_.clear();
  cooling_.clear();
  recent_.clear();
  recentOrder_.clear();
  for (auto& [path, running] : inFlight_) running.next.held.clear();
  ready_.notify_all();
}

std::size_t ScanQueue::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_.size() + cooling_.size();
}

}  // namespace norvid::onaccess
