#pragma once

#include <array>
#include <deque>
#include <optional>
#include <utility>

namespace norvid::platform {

// The requests read and waiting for a worker, in four queues: quick requests (short work such as a
// status query) before the others, and within each kind root's before everyone else's, so that
// root's requests never wait behind other users' backlog. Each queue keeps its order. Not
// synchronised: its owner guards it.
template <typename Request>
class RequestQueues {
 public:
  // Which requests a worker takes.
  enum class Taker {
    Any,        // every request, quick ones first
    QuickOnly,  // quick requests only
    RootOnly,   // root's requests only, quick ones first
  };

  void push(Request request, bool quick, bool fromRoot) {
    (quick ? (fromRoot ? quickRoot_ : quickOthers_) : (fromRoot ? root_ : others_))
        .push_back(std::move(request));
  }

  // The next request `taker` takes, out of its queue; nothing when none waits for it.
  std::optional<Request> take(Taker taker) {
    for (std::deque<Request>* queue : lookedAt(taker)) {
      if (queue != nullptr && !queue->empty()) {
        Request request = std::move(queue->front());
        queue->pop_front();
        return request;
      }
    }
    return std::nullopt;
  }

  bool hasWorkFor(Taker taker) const {
    for (const std::deque<Request>* queue : lookedAt(taker)) {
      if (queue != nullptr && !queue->empty()) return true;
    }
    return false;
  }

  bool empty() const { return !hasWorkFor(Taker::Any); }

 private:
  template <typename Self>
  static auto lookedAtBy(Self& self, Taker taker) {
    using Queue = decltype(&self.root_);
    switch (taker) {
      case Taker::QuickOnly:
        return std::array<Queue, 4>{&self.quickRoot_, &self.quickOthers_, nullptr, nullptr};
      case Taker::RootOnly:
        return std::array<Queue, 4>{&self.quickRoot_, &self.root_, nullptr, nullptr};
      case Taker::Any:
        break;
    }
    return std::array<Queue, 4>{&self.quickRoot_, &self.quickOthers_, &self.root_, &self.others_};
  }
  // The queues `taker` looks at, in the order it looks (null: none).
  std::array<std::deque<Request>*, 4> lookedAt(Taker taker) { return lookedAtBy(*this, taker); }
  std::array<const std::deque<Request>*, 4> lookedAt(Taker taker) const {
    return lookedAtBy(*this, taker);
  }

  std::deque<Request> quickRoot_;
  std::deque<Request> quickOthers_;
  std::deque<Request> root_;
  std::deque<Request> others_;
};

}  // namespace norvid::platform
