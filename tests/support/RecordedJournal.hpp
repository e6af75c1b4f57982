#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/ServiceEvents.hpp"
#include "platform/JournalWriter.hpp"

namespace norvid::testing {

// Stands in for the system journal while it lives: every entry the service's event stream writes
// is kept here, as a map of its fields. Put back no journal at the end.
class RecordedJournal {
 public:
  using Entry = std::map<std::string, std::string>;

  RecordedJournal();
  ~RecordedJournal();
  RecordedJournal(const RecordedJournal&) = delete;
  RecordedJournal& operator=(const RecordedJournal&) = delete;

  std::vector<Entry> entries() const;
  // The entries whose field `name` holds `value`.
  std::vector<Entry> where(const std::string& name, const std::string& value) const;
  void clear();

 private:
  struct Store {
    mutable std::mutex mutex;
    std::vector<Entry> entries;
  };
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

}  // namespace norvid::testing
