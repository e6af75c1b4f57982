#pragma once

#include <string>
#include <utility>

#include "engine/ArchiveExtractor.hpp"

namespace norvid {

// A temporary extraction directory that is removed, with everything in it, when the owner goes
// out of scope: on a match, on a clean archive, on a bomb and on any other failure alike.
class ExtractionDirectory {
 public:
  ExtractionDirectory(const ArchiveExtractor& extractor, std::string path)
      : extractor_(extractor), path_(std::move(path)) {}
  ~ExtractionDirectory() { extractor_.cleanup(path_); }
  ExtractionDirectory(const ExtractionDirectory&) = delete;
  ExtractionDirectory& operator=(const ExtractionDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  const ArchiveExtractor& extractor_;
  std::string path_;
};

}  // namespace norvid
