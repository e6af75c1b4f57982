#pragma once

#include <string>

namespace norvid::testing {

// Counts the reads of the files directly in one directory (inotify IN_ACCESS on its entries; the
// directory's own listing is not counted): a verdict answered from a cache opens the file but
// never reads it.
class ReadCounter {
 public:
  explicit ReadCounter(const std::string& directory);
  ~ReadCounter();
  ReadCounter(const ReadCounter&) = delete;
  ReadCounter& operator=(const ReadCounter&) = delete;

  // Reads seen since the last call.
  int reads();

 private:
  int descriptor_;
};

}  // namespace norvid::testing
