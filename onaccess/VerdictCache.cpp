#include "onaccess/VerdictCache.hpp"

#include <algorithm>

namespace norvid::onaccess {

VerdictCache::VerdictCache(std::size_t capacity, std::chrono::seconds lifetime)
    : capacity_(capacity), lifetime_(lifetime) {}

VerdictCache::Known VerdictCache::lookup(const platform::FileStatus& identity,
                                         Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  auto found = entries_.find({identity.device, identity.inode});
  if (found == entries_.end() || now - found->second.seen >= lifetime_) return Known::Nothing;
  const Entry& entry = found->second;
  if (entry.identity.size != identity.size || entry.identity.modifiedNs != identity.modifiedNs) {
    return Known::Nothing;
  }
  if (entry.verdict == Known::Clean && entry.identity.changedNs != identity.changedNs) {
    return Known::Nothing;
  }
  return entry.verdict;
}

bool VerdictCache::keepsClean(const platform::FileStatus& atEvent,
                              const platform::FileStatus& afterAnswer, std::int64_t scanStartNs,
                              bool writableElsewhere) {
  if (writableElsewhere || atEvent.inode == 0 || !atEvent.sameVersionAs(afterAnswer)) return false;
  const std::int64_t latest = std::max(atEvent.modifiedNs, atEvent.changedNs);
  return latest < scanStartNs - kTimeGranularityNs;
}

void VerdictCache::remember(const platform::FileStatus& identity, Known verdict,
                            Clock::time_point now) {
  if (identity.inode == 0 || verdict == Known::Nothing) return;
  std::lock_guard lock(mutex_);
  if (entries_.size() >= capacity_) entries_.clear();
  entries_[{identity.device, identity.inode}] = Entry{identity, verdict, now};
}

void VerdictCache::forgetClean(const platform::FileStatus& identity) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find({identity.device, identity.inode});
  if (found != entries_.end() && found->second.verdict == Known::Clean) entries_.erase(found);
}

}  // namespace norvid::onaccess
