#include "engine/FileCounter.hpp"

#include "engine/DirectoryWalker.hpp"

namespace norvid {
namespace {

// Counts what a recursive walk yields without opening anything.
class VisitCounter : public DirectoryWalker::Listener {
 public:
  explicit VisitCounter(const std::atomic<bool>& stop) : stop_(stop) {}

  void file(const platform::DirectoryStream&, const std::string&, const std::string&,
            bool) override {
    ++visits_;
  }
  void unknownEntry(const std::string&, const std::string&, const platform::Failure&) override {
    ++visits_;
  }
  void tooDeep(const std::string&) override { ++visits_; }
  void blocked(const std::string&, const char*, int) override { ++visits_; }
  bool stopRequested() const override { return stop_.load(std::memory_order_relaxed); }

  std::uint64_t visits() const { return visits_; }

 private:
  const std::atomic<bool>& stop_;
  std::uint64_t visits_ = 0;
};

}  // namespace

std::optional<std::uint64_t> FileCounter::count(const std::string& root,
                                                const std::atomic<bool>& stop) {
  VisitCounter counter(stop);
  if (!DirectoryWalker(true).walk(root, counter)) return std::nullopt;
  return counter.visits();
}

}  // namespace norvid
