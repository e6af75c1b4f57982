#include "onaccess/ScanQueue.hpp"

namespace norvid::onaccess {

ScanQueue::ScanQueue(std::size_t capacity) : capacity_(capacity) {}

ScanQueue::Admission ScanQueue::add(const std::string& path, const platform::FileIdentity& identity,
                                    HeldStart held) {
  std::lock_guard lock(mutex_);
  if (closed_) return Admission::Refused;
  if (auto running = inFlight_.find(path); running != inFlight_.end()) {
    // The running scan may have read the file before this write or start: scan it once more.
    running->second.again = true;
    running->second.next.identity = identity;
    if (held) running->second.next.held.push_back(std::move(held));
    return Admission::Coalesced;
  }
  if (auto queued = waiting_.find(path); queued != waiting_.end()) {
    queued->second.identity = identity;
    if (held) {
      if (queued->second.held.empty()) {
        startOrder_.push_back(path);
        ready_.notify_all();
      }
      queued->second.held.push_back(std::move(held));
    }
    return Admission::Coalesced;
  }
  if (waiting_.size() >= capacity_) return Admission::Refused;
  Entry entry{identity, {}};
  if (held) entry.held.push_back(std::move(held));
  enqueue(path, std::move(entry));
  return Admission::Queued;
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

std::optional<ScanJob> ScanQueue::take(bool startsOnly) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (closed_) return std::nullopt;
    std::optional<std::string> path = popFrom(startOrder_);
    if (!path && !startsOnly) path = popFrom(writeOrder_);
    if (path) {
      auto node = waiting_.extract(*path);
      inFlight_.emplace(*path, InFlight{});
      return ScanJob{*path, node.mapped().identity, std::move(node.mapped().held)};
    }
    ready_.wait(lock);
  }
}

void ScanQueue::finish(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto running = inFlight_.find(path);
  if (running == inFlight_.end()) return;
  InFlight done = std::move(running->second);
  inFlight_.erase(running);
  if (done.again && !closed_) enqueue(path, std::move(done.next));
}

void ScanQueue::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  waiting_.clear();
  startOrder_.clear();
  writeOrder_.clear();
  for (auto& [path, running] : inFlight_) running.next.held.clear();
  ready_.notify_all();
}

std::size_t ScanQueue::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

}  // namespace norvid::onaccess
