#include "tests/support/RecordedJournal.hpp"

namespace norvid::testing {
namespace {

class RecordingWriter final : public platform::JournalWriter {
 public:
  using Sink = std::function<void(RecordedJournal::Entry)>;
  explicit RecordingWriter(Sink sink) : sink_(std::move(sink)) {}
  void write(const platform::JournalFields& fields) override {
    RecordedJournal::Entry entry;
    for (const auto& [name, value] : fields) entry[name] = value;
    sink_(std::move(entry));
  }

 private:
  Sink sink_;
};

}  // namespace

RecordedJournal::RecordedJournal() {
  std::shared_ptr<Store> store = store_;
  ServiceEvents::instance().setJournalWriter(
      std::make_unique<RecordingWriter>([store](Entry entry) {
        std::lock_guard<std::mutex> lock(store->mutex);
        store->entries.push_back(std::move(entry));
      }));
}

RecordedJournal::~RecordedJournal() { ServiceEvents::instance().setJournalWriter(nullptr); }

std::vector<RecordedJournal::Entry> RecordedJournal::entries() const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  return store_->entries;
}

std::vector<RecordedJournal::Entry> RecordedJournal::where(const std::string& name,
                                                           const std::string& value) const {
  std::vector<Entry> found;
  for (Entry& entry : entries()) {
    auto field = entry.find(name);
    if (field != entry.end() && field->second == value) found.push_back(std::move(entry));
  }
  return found;
}

void RecordedJournal::clear() {
  std::lock_guard<std::mutex> lock(store_->mutex);
  store_->entries.clear();
}

}  // namespace norvid::testing
