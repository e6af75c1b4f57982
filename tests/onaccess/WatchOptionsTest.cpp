#include <gtest/gtest.h>

#include "onaccess/WatchOptions.hpp"

namespace norvid::onaccess {
namespace {

TEST(WatchOptionsTest, DefaultsWatchTheUsualWritableDirectories) {
  std::string error;
  auto options = WatchOptions::parse({}, error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->watched, WatchOptions::defaultDirectories());
  EXPECT_EQ(options->watched.size(), 7u);
  EXPECT_TRUE(options->excluded.empty());
  EXPECT_FALSE(options->blockExec);
  EXPECT_EQ(options->verdictTimeout, std::chrono::milliseconds(3000));
}

TEST(WatchOptionsTest, RepeatedFlagsAndTimeouts) {
  std::string error;
  auto options = WatchOptions::parse({"--watch", "/srv/a", "--exclude", "/srv/a/cache", "--watch",
                                      "/srv/b", "--block-exec", "--verdict-timeout", "0.5"},
                                     error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->watched, (std::vector<std::string>{"/srv/a", "/srv/b"}));
  EXPECT_EQ(options->excluded, (std::vector<std::string>{"/srv/a/cache"}));
  EXPECT_TRUE(options->blockExec);
  EXPECT_EQ(options->verdictTimeout, std::chrono::milliseconds(500));
}

TEST(WatchOptionsTest, BadArgumentsAreRefusedWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--watch"}, "Falta el valor de --watch"},
      {{"--watch", "relative/dir"}, "ruta absoluta"},
      {{"--exclude", ""}, "ruta absoluta"},
      {{"--verdict-timeout", "0"}, "Tiempo de veredicto no válido"},
      {{"--verdict-timeout", "-1"}, "Tiempo de veredicto no válido"},
      {{"--verdict-timeout", "3s"}, "Tiempo de veredicto no válido"},
      {{"--verdict-timeout", "nan"}, "Tiempo de veredicto no válido"},
      {{"--verdict-timeout", "99999"}, "Tiempo de veredicto no válido"},
      {{"--block"}, "Argumento desconocido: --block"},
  };
  for (const auto& [arguments, expected] : cases) {
    std::string error;
    EXPECT_FALSE(WatchOptions::parse(arguments, error)) << arguments.front();
    EXPECT_NE(error.find(expected), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace norvid::onaccess
