#pragma once

#include <cstddef>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// What reading a small text file gave: the errno of the failed open or of the failed read (0 when
// that step went well) and, when both are 0, the whole content. Kept apart from Result because
// callers tell a missing or unopenable attribute from one that opened but could not be read.
struct AttributeRead {
  int openError = 0;
  int readError = 0;
  std::string content;

  bool ok() const { return openError == 0 && readError == 0; }
};

// Reads a small file whole, such as a sysfs attribute, whose reported size means nothing. A file
// longer than `maxBytes` is a read failure (EFBIG), so a wrong path never reads without bound.
AttributeRead readAttributeFile(const std::string& path, std::size_t maxBytes = 65536);

// Writes `content` into a file that must already exist (it is never created: a sysfs attribute
// that is missing must fail, not appear as a regular file). The failure names the failed step.
Result<> writeAttributeFile(const std::string& path, const std::string& content);

}  // namespace norvid::platform
