#pragma once

#include <string>

#include "engine/MemberWriter.hpp"
#include "platform/DescriptorStream.hpp"

namespace norvid {

// Opens OLE2 compound files (Word, Excel and PowerPoint documents, MSI packages) with libgsf:
// every stream becomes a member, named by its path of storages.
class CompoundFileExtractor {
 public:
  // Writes the streams of the compound file read from `input`; `name` is the file's name for the
  // library's messages. Throws std::runtime_error when the file cannot be opened, and what
  // `writer` throws.
  static void extract(const platform::DescriptorStream& input, const std::string& name,
                      MemberWriter& writer);
};

}  // namespace norvid
