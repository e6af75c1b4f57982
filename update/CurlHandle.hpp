#pragma once

#include <curl/curl.h>

#include <utility>

namespace norvid::update {

// Move-only owner of a libcurl easy handle and of the header list sent with it.
class CurlHandle {
 public:
  CurlHandle() : handle_(curl_easy_init()) {}
  ~CurlHandle() { reset(); }
  CurlHandle(CurlHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)),
        headers_(std::exchange(other.headers_, nullptr)) {}
  CurlHandle& operator=(CurlHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      headers_ = std::exchange(other.headers_, nullptr);
    }
    return *this;
  }
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;

  CURL* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  // Adds a request header line ("Name: value"); false when it cannot be stored.
  bool addHeader(const char* line) {
    curl_slist* extended = curl_slist_append(headers_, line);
    if (extended == nullptr) return false;
    headers_ = extended;
    return curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_) == CURLE_OK;
  }

 private:
  void reset() {
    if (handle_ != nullptr) curl_easy_cleanup(handle_);
    if (headers_ != nullptr) curl_slist_free_all(headers_);
    handle_ = nullptr;
    headers_ = nullptr;
  }

  CURL* handle_ = nullptr;
  curl_slist* headers_ = nullptr;
};

}  // namespace norvid::update
