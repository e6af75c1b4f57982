#pragma once

#include <string>

#include "engine/MemberWriter.hpp"
#include "platform/DescriptorStream.hpp"

namespace norvid {

// Opens Microsoft's own compressed formats with libmspack: CHM help files (every file of the help
// becomes a member) and the SZDD and KWAJ single-file formats of COMPRESS.EXE (the unpacked file is
// the one member). libmspack reads the container only through the open stream given here and
// writes only through `writer`, so the limits hold for every byte.
class MspackExtractor {
 public:
  // `format` is "chm", "szdd" or "kwaj"; `name` the container's file name, from which the single
  // member of SZDD and KWAJ is named. Throws std::runtime_error when the container cannot be
  // opened, and what `writer` throws.
  static void extract(const platform::DescriptorStream& input, const std::string& format,
                      const std::string& name, MemberWriter& writer);
};

}  // namespace norvid
