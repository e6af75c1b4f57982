#pragma once

#include <string>

namespace norvid::platform {

// `text` without the spaces, tabs, carriage returns and line feeds at either end: how every line
// of the service's configuration and list files is read.
inline std::string trimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace norvid::platform
