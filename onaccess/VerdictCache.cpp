#include "onaccess/VerdictCache.hpp"

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

void VerdictCache::remember(const platform::FileStatus& identity, Known verdict,
                            Clock::time_point now) {
  if (identity.inode == 0 || verdict == Known::Nothing) return;
  std::lock_guard lock(mutex_);
  if (entries_.size() >= capacity_) entries_.clear();
  entries_[{identity.device, identity.inode}] = Entry{identity, verdict, now};
}

}  // namespace norvid::onaccess
