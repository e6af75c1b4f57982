#include "update/BundleFetcher.hpp"

#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "update/CurlHandle.hpp"

namespace norvid::update {
namespace {

using platform::Failure;
using platform::Result;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct Sink {
  std::FILE* file = nullptr;
  std::uint64_t written = 0;
  std::uint64_t limit = 0;
  bool tooLarge = false;
  bool writeFailed = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t bytes = size * count;
  if (sink->limit != 0 && sink->written + bytes > sink->limit) {
    sink->tooLarge = true;
    return 0;  // aborts the transfer
  }
  if (std::fwrite(data, 1, bytes, sink->file) != bytes) {
    sink->writeFailed = true;
    return 0;
  }
  sink->written += bytes;
  return bytes;
}

std::string headerValue(CURL* handle, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
  return header->value != nullptr ? header->value : "";
}

std::string describe(CURLcode code, const char* detail, const FetchRequest& request,
                     const Sink& sink) {
  const std::string where = request.url + ": ";
  const std::string text = detail[0] != '\0' ? detail : curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return where + "cannot resolve the host name (" + text + ")";
    case CURLE_COULDNT_CONNECT:
      return where + "cannot connect (" + text + ")";
    case CURLE_OPERATION_TIMEDOUT:
      return where + "timed out (" + text + ")";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return where + "TLS failed (" + text + ")";
    case CURLE_FILESIZE_EXCEEDED:
      return where + "larger than max_size (" + std::to_string(request.maxSize) + " bytes)";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return where + "the transfer was cut short after " + std::to_string(sink.written) +
             " bytes (" + text + ")";
    case CURLE_UNSUPPORTED_PROTOCOL:
      return where + "this location's protocol is not allowed (" + text + ")";
    case CURLE_FILE_COULDNT_READ_FILE:
      return where + "cannot read the file (" + text + ")";
    default:
      return where + text;
  }
}

void initialiseLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

Result<FetchResult> BundleFetcher::fetch(const FetchRequest& request) const {
  initialiseLibrary();
  CurlHandle curl;
  if (!curl) return Failure{0, "libcurl could not start a transfer"};
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(request.destination.c_str(), "wb"));
  if (!file) return Failure::ofErrno(errno, "create " + request.destination);
  Sink sink{file.get(), 0, request.maxSize};
  char errorText[CURL_ERROR_SIZE] = {0};

  CURL* h = curl.get();
  const char* protocols = request.allowPlainHttp ? "https,http,file" : "https,file";
  const char* redirectProtocols = request.allowPlainHttp ? "https,http" : "https";
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, redirectProtocols);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, request.caFile.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, request.connectTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, request.totalTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "norvid-update");
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (request.maxSize != 0) {
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxSize));
  }
  if (!request.etag.empty()) {
    curl.addHeader(("If-None-Match: " + request.etag).c_str());
  }
  if (!request.lastModified.empty()) {
    curl.addHeader(("If-Modified-Since: " + request.lastModified).c_str());
  }

  const CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    if (sink.tooLarge) {
      return Failure{0, request.url + ": larger than max_size (" + std::to_string(request.maxSize) +
                            " bytes)"};
    }
    if (sink.writeFailed) return Failure{0, "write " + request.destination + " failed"};
    return Failure{0, describe(code, errorText, request, sink)};
  }
  if (std::fflush(file.get()) != 0) return Failure::ofErrno(errno, "write " + request.destination);

  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  const bool http = request.url.rfind("http", 0) == 0;
  FetchResult result;
  if (http && status == 304) {
    result.notModified = true;
    return result;
  }
  if (http && (status < 200 || status >= 300)) {
    return Failure{0, request.url + ": the server answered HTTP " + std::to_string(status)};
  }
  // A body shorter than the length the server announced is a cut transfer, even when the
  // connection closed cleanly.
  curl_off_t announced = -1;
  curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  if (http && announced >= 0 && static_cast<std::uint64_t>(announced) != sink.written) {
    return Failure{0, request.url + ": the transfer was cut short after " +
                          std::to_string(sink.written) + " of " + std::to_string(announced) +
                          " bytes"};
  }
  result.bytes = sink.written;
  if (http) {
    result.etag = headerValue(h, "ETag");
    result.lastModified = headerValue(h, "Last-Modified");
  }
  return result;
}

}  // namespace norvid::update
