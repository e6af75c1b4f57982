#pragma once

#include <glib-object.h>

#include <utility>

namespace norvid {

// Move-only owner of one reference to a GObject (GMime and libgsf objects); drops it on every
// path.
template <typename T>
class GObjectRef {
 public:
  GObjectRef() = default;
  explicit GObjectRef(T* object) : object_(object) {}
  ~GObjectRef() { reset(); }
  GObjectRef(GObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectRef& operator=(GObjectRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;

  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  void reset() {
    if (object_ != nullptr) g_object_unref(object_);
    object_ = nullptr;
  }

 private:
  T* object_ = nullptr;
};

}  // namespace norvid
