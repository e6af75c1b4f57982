#include "onaccess/WatchOptions.hpp"

#include <cmath>
#include <cstdlib>

namespace norvid::onaccess {
namespace {

// A positive number of seconds, fractions allowed, at most one hour.
std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600) {
    return std::nullopt;
  }
  const auto millis = static_cast<long long>(std::llround(seconds * 1000));
  if (millis < 1) return std::nullopt;
  return std::chrono::milliseconds(millis);
}

}  // namespace

const std::vector<std::string>& WatchOptions::defaultDirectories() {
  static const std::vector<std::string> directories = {"/home",    "/root", "/tmp",      "/var/tmp",
                                                       "/dev/shm", "/opt",  "/usr/local"};
  return directories;
}

std::optional<WatchOptions> WatchOptions::parse(const std::vector<std::string>& arguments,
                                                std::string& error) {
  WatchOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    auto value = [&]() -> const std::string* {
      if (i + 1 >= arguments.size()) {
        error = "Falta el valor de " + flag;
        return nullptr;
      }
      return &arguments[++i];
    };
    if (flag == "--help" || flag == "-h") {
      options.help = true;
    } else if (flag == "--block-exec") {
      options.blockExec = true;
    } else if (flag == "--watch" || flag == "--exclude") {
      const std::string* directory = value();
      if (directory == nullptr) return std::nullopt;
      if (directory->empty() || (*directory)[0] != '/') {
        error = "Se necesita una ruta absoluta para " + flag + ": " + *directory;
        return std::nullopt;
      }
      (flag == "--watch" ? options.watched : options.excluded).push_back(*directory);
    } else if (flag == "--verdict-timeout") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      auto timeout = parseSeconds(*text);
      if (!timeout) {
        error = "Tiempo de veredicto no válido (segundos, mayor que 0 y hasta 3600): " + *text;
        return std::nullopt;
      }
      options.verdictTimeout = *timeout;
    } else {
      error = "Argumento desconocido: " + flag;
      return std::nullopt;
    }
  }
  if (options.watched.empty()) options.watched = defaultDirectories();
  return options;
}

std::string WatchOptions::usage() {
  return "Uso: norvid-onaccess [--watch DIR]... [--exclude DIR]... [--block-exec] "
         "[--verdict-timeout SEGUNDOS]";
}

}  // namespace norvid::onaccess
