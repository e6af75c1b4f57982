#pragma once

#include <string>

namespace norvid::testing {

// tests/update/feed_server.py serving `directory` on 127.0.0.1 for the life of the object, over
// HTTPS when `certificate` and `key` are given. Requests are logged to requests.log beside the
// directory.
class FeedServer {
 public:
  FeedServer(const std::string& directory, const std::string& certificate = "",
             const std::string& key = "");
  ~FeedServer();
  FeedServer(const FeedServer&) = delete;
  FeedServer& operator=(const FeedServer&) = delete;

  // "http://127.0.0.1:PORT" (or https) followed by `path`.
  std::string url(const std::string& path) const;
  // The number of logged requests whose path starts with `path`.
  int requestsFor(const std::string& path) const;

  // Writes a self-signed certificate for 127.0.0.1 and its key into `directory` with openssl;
  // the certificate doubles as the CA file a feed trusts.
  static void makeCertificate(const std::string& directory);

 private:
  std::string logPath_;
  std::string scheme_;
  int pid_ = -1;
  int port_ = 0;
};

}  // namespace norvid::testing
