#include "platform/JournalWriter.hpp"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace norvid::platform {
namespace {

// sd_journal_sendv writes each "NAME=value" item as one field; values holding line breaks or any
// other bytes are carried in the journal's length-prefixed form, so nothing is cut or escaped.
class SystemJournalWriter final : public JournalWriter {
 public:
  void write(const JournalFields& fields) override {
    std::vector<std::string> items;
    items.reserve(fields.size());
    for (const auto& [name, value] : fields) items.push_back(name + "=" + value);
    std::vector<iovec> vector(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      vector[i].iov_base = items[i].data();
      vector[i].iov_len = items[i].size();
    }
    // Without a journal (a container, a test) the entry is simply lost.
    [[maybe_unused]] int ignored = sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
  }
};

}  // namespace

std::unique_ptr<JournalWriter> systemJournalWriter() {
  return std::make_unique<SystemJournalWriter>();
}

}  // namespace norvid::platform
