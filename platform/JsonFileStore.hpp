#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/Clock.hpp"

namespace norvid::platform {

// One JSON file a store keeps its records in: reads it into a document with a clear outcome,
// remembers that a file which could not be read must be moved aside before it is next written,
// and writes it atomically with its mode. What the records mean stays with the store; so does
// the locking (an instance is not safe to share between threads without the store's lock).
class JsonFileStore {
 public:
  // How a read went.
  enum class Outcome {
    Missing,     // there is no file: a store starts empty
    Read,        // `document` holds the file's JSON
    Unreadable,  // the file is there but could not be read or parsed; `fault` says where
  };
  enum class Fault {
    None,
    Status,  // its type could not be looked up; `reason` is the system's text
    Open,    // it could not be opened; `reason` is the errno text
    Read,    // reading it failed; `reason` is the stream's text
    Parse,   // it is not JSON; `reason` is the parser's message, `text` what was read
  };
  struct Reading {
    Outcome outcome = Outcome::Missing;
    Fault fault = Fault::None;
    std::string reason;
    std::string text;
    nlohmann::json document;
  };

  // `indent` is the dump indentation of every save; `clock` stamps the names of files moved aside.
  JsonFileStore(std::string path, std::filesystem::perms mode, int indent = 2,
                const Clock& clock = SystemClock::instance());

  const std::string& path() const { return path_; }

  // Reads the file as it is now; never throws for a file that is absent, unreadable or not JSON.
  Reading read() const;

  // Whether the next save first renames the file to "<path>.corrupt-<seconds>" (see
  // FileAside.hpp), so that rewriting it does not destroy records that could not be read.
  void keepAsideOnNextSave(bool keep) { keepAside_ = keep; }
  bool keepsAsideOnNextSave() const { return keepAside_; }

  // The document as the file holds it; nothing when it cannot be written as JSON (text that is
  // not UTF-8), `problem` then says why.
  std::optional<std::string> serialise(const nlohmann::json& document,
                                       std::string* problem = nullptr) const;

  // Moves an unreadable file aside when one is pending (`movedAside` then names where it went),
  // then writes `text` atomically with the store's mode. False, the file as it was and `problem`
  // naming the cause, when either step fails; a file already moved aside stays there.
  bool save(const std::string& text, std::string* problem = nullptr,
            std::string* movedAside = nullptr);
  // Serialises `document`, then saves it as above. Nothing is moved aside when it cannot be
  // serialised.
  bool save(const nlohmann::json& document, std::string* problem = nullptr,
            std::string* movedAside = nullptr);

  // Removes the temporary files of writes that a crash cut short. REQUIRES: no save under way.
  void removeWriteLeftovers() const;

 private:
  std::string path_;
  std::filesystem::perms mode_;
  int indent_;
  const Clock& clock_;
  bool keepAside_ = false;
};

}  // namespace norvid::platform
