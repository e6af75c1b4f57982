#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::update {

// One download.
struct FetchRequest {
  std::string url;
  std::string destination;  // the file the body is written to (created or truncated)
  std::string caFile;       // CA bundle instead of the system's, when set
  bool allowPlainHttp = false;
  std::uint64_t maxSize = 0;  // 0: no limit
  std::string etag;           // sent as If-None-Match when set
  std::string lastModified;   // sent as If-Modified-Since when set
  long connectTimeoutSeconds = 30;
  long totalTimeoutSeconds = 900;
};

struct FetchResult {
  bool notModified = false;  // the server answered 304: nothing was written
  std::uint64_t bytes = 0;
  std::string etag;
  std::string lastModified;
};

// Downloads over HTTPS (certificate and host name checked; redirects followed to HTTPS only),
// file:// and, when allowed, plain HTTP, through the proxy the environment names. The size limit
// is enforced while the bytes arrive. Every failure has a message that says which kind it is:
// name resolution, connection, TLS, HTTP status, size, time or a cut transfer.
class BundleFetcher {
 public:
  platform::Result<FetchResult> fetch(const FetchRequest& request) const;
};

}  // namespace norvid::update
