#pragma once

#include <atomic>
#include <memory>

namespace norvid::platform {

// Move-only owner of one access that the kernel holds until it is answered (a program about to
// start). The access is answered exactly once: by answer(), or with "allow" when the owner goes
// away unanswered, so no path can leave the caller blocked. answer() may be called from several
// threads at once; only the first call has any effect.
class PermissionRequest {
 public:
  PermissionRequest() = default;
  // Takes over `eventDescriptor`; `group` is the descriptor the answer is written to, shared with
  // the monitor so that it stays open while any request is held.
  PermissionRequest(std::shared_ptr<const int> group, int eventDescriptor);
  ~PermissionRequest();
  PermissionRequest(PermissionRequest&& other) noexcept;
  PermissionRequest& operator=(PermissionRequest&& other) noexcept;
  PermissionRequest(const PermissionRequest&) = delete;
  PermissionRequest& operator=(const PermissionRequest&) = delete;

  // True while the access waits for its answer.
  bool isPending() const { return eventDescriptor_.load() >= 0; }

  // Allows or denies the access (a denied caller sees EPERM). True only for the call that
  // answered; false when it had been answered before.
  bool answer(bool allow);

 private:
  std::shared_ptr<const int> group_;
  std::atomic<int> eventDescriptor_{-1};
};

}  // namespace norvid::platform
