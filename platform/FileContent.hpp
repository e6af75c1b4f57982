#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvid::platform {

enum class FileContentStatus { Ok, CannotOpen, NotRegular, Empty, TooLarge, ReadFailed };

// Reads the whole of a regular file of at most `maxBytes` into `content`. The file is opened
// without blocking and checked on the open handle, so a FIFO or a device given here is refused
// instead of waiting for a writer. The length is taken once, on the open handle: a file that
// shrinks meanwhile gives ReadFailed, one that grows is read up to that length. `content` holds
// the bytes only when the result is Ok.
FileContentStatus readRegularFile(const std::string& path, std::uint64_t maxBytes,
                                  std::vector<std::uint8_t>& content);

}  // namespace norvid::platform
