#include "platform/JsonFileStore.hpp"

#include <chrono>
#include <exception>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/AtomicFile.hpp"
#include "platform/FileAside.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {

namespace fs = std::filesystem;
using nlohmann::json;

JsonFileStore::JsonFileStore(std::string path, fs::perms mode, int indent, const Clock& clock)
    : path_(std::move(path)), mode_(mode), indent_(indent), clock_(clock) {}

JsonFileStore::Reading JsonFileStore::read() const {
  Reading reading;
  auto unreadable = [&](Fault fault, std::string reason) {
    reading.outcome = Outcome::Unreadable;
    reading.fault = fault;
    reading.reason = std::move(reason);
    return std::move(reading);
  };
  std::error_code error;
  const fs::file_status status = fs::status(path_, error);
  if (status.type() == fs::file_type::not_found) return reading;
  if (error) return unreadable(Fault::Status, errnoText(error.value()));

  try {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return unreadable(Fault::Open, errnoText(lastErrno()));
    // The stream reports a read error (such as reading a directory) by throwing.
    reading.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return unreadable(Fault::Read, "error de lectura");
  } catch (const std::exception& failure) {
    return unreadable(Fault::Read, failure.what());
  }

  try {
    reading.document = json::parse(reading.text, nullptr, true, false);
  } catch (const json::exception& failure) {
    return unreadable(Fault::Parse, failure.what());
  }
  reading.outcome = Outcome::Read;
  return reading;
}

std::optional<std::string> JsonFileStore::serialise(const json& document,
                                                    std::string* problem) const {
  try {
    return document.dump(indent_, ' ', false, json::error_handler_t::strict);
  } catch (const json::exception& failure) {
    if (problem != nullptr) *problem = failure.what();
    return std::nullopt;
  }
}

bool JsonFileStore::save(const std::string& text, std::string* problem, std::string* movedAside) {
  if (movedAside != nullptr) movedAside->clear();
  if (keepAside_) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
    Result<std::string> movedTo = moveFileAside(path_, seconds);
    if (!movedTo) {
      if (problem != nullptr) *problem = "no se pudo apartar el archivo ilegible " + path_;
      return false;
    }
    keepAside_ = false;
    if (movedAside != nullptr) *movedAside = std::move(*movedTo);
  }
  const Result<> written = writeFileAtomically(path_, text, mode_);
  if (written) return true;
  if (problem != nullptr)
    *problem = written.message().empty() ? "error de escritura" : written.message();
  return false;
}

bool JsonFileStore::save(const json& document, std::string* problem, std::string* movedAside) {
  if (movedAside != nullptr) movedAside->clear();
  std::optional<std::string> text = serialise(document, problem);
  return text && save(*text, problem, movedAside);
}

void JsonFileStore::removeWriteLeftovers() const { removeAtomicWriteLeftovers(path_); }

}  // namespace norvid::platform
