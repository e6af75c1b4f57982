#include "engine/VerdictCache.hpp"

#include <iterator>
#include <utility>

namespace norvid {
namespace {

// What one entry costs, roughly: its strings and lists beside the fixed parts.
std::size_t footprint(const std::string& path, const VerdictCache::Verdict& verdict) {
  std::size_t bytes = 2 * path.capacity() + sizeof(VerdictCache::Verdict) + 128;
  const ScanResult& result = verdict.result;
  bytes += result.threat.capacity() + result.container.capacity();
  for (const std::string& indicator : result.pe.indicators) bytes += indicator.capacity() + 32;
  bytes += result.pe.sections.size() * (sizeof(PeSection) + 16);
  for (const ConsoleCapture::Piece& piece : verdict.console) bytes += piece.text.capacity() + 48;
  return bytes;
}

}  // namespace

VerdictCache::VerdictCache(std::size_t maxEntries, std::size_t maxBytes)
    : maxEntries_(maxEntries), maxBytes_(maxBytes) {}

void VerdictCache::adoptGeneration(std::uint64_t generation) {
  if (generation == generation_) return;
  if (!order_.empty()) ++changes_;
  order_.clear();
  byPath_.clear();
  bytes_ = 0;
  generation_ = generation;
}

void VerdictCache::eraseLocked(Order::iterator entry) {
  bytes_ -= entry->bytes;
  byPath_.erase(entry->path);
  order_.erase(entry);
}

std::optional<VerdictCache::Verdict> VerdictCache::find(const std::string& path,
                                                        const platform::FileStatus& status,
                                                        std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  adoptGeneration(generation);
  auto found = byPath_.find(path);
  if (found == byPath_.end()) return std::nullopt;
  if (!found->second->status.sameVersionAs(status)) {
    eraseLocked(found->second);
    return std::nullopt;
  }
  order_.splice(order_.begin(), order_, found->second);
  return found->second->verdict;
}

void VerdictCache::store(const std::string& path, const platform::FileStatus& status,
                         std::uint64_t generation, Verdict verdict) {
  std::lock_guard<std::mutex> lock(mutex_);
  adoptGeneration(generation);
  if (maxEntries_ == 0) return;
  auto found = byPath_.find(path);
  if (found != byPath_.end()) eraseLocked(found->second);
  insertLocked(order_.begin(), path, status, std::move(verdict));
  while (order_.size() > maxEntries_ || bytes_ > maxBytes_) eraseLocked(std::prev(order_.end()));
}

void VerdictCache::insertLocked(Order::iterator at, std::string path,
                                const platform::FileStatus& status, Verdict verdict) {
  const std::size_t bytes = footprint(path, verdict);
  if (bytes > maxBytes_) return;
  Order::iterator entry =
      order_.insert(at, Entry{std::move(path), status, std::move(verdict), bytes});
  byPath_.emplace(entry->path, entry);
  bytes_ += bytes;
  ++changes_;
}

VerdictCache::Contents VerdictCache::contents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Contents contents;
  contents.generation = generation_;
  contents.entries.reserve(order_.size());
  for (const Entry& entry : order_) {
    contents.entries.push_back(Kept{entry.path, entry.status, entry.verdict});
  }
  return contents;
}

void VerdictCache::restore(std::vector<Kept> entries, std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  adoptGeneration(generation);
  for (Kept& kept : entries) {
    if (order_.size() >= maxEntries_) break;
    if (byPath_.count(kept.path) != 0) continue;
    insertLocked(order_.end(), std::move(kept.path), kept.status, std::move(kept.verdict));
    // The oldest entries are the ones left out when the bytes run out.
    if (bytes_ > maxBytes_) {
      eraseLocked(std::prev(order_.end()));
      break;
    }
  }
}

std::uint64_t VerdictCache::changes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

std::size_t VerdictCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return order_.size();
}

}  // namespace norvid
