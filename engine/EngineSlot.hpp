#pragma once

#include <memory>
#include <shared_mutex>

#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"

namespace norvid {

// The rule engine and the scanner built on it, replaced together by a rule reload. Every user of
// either holds `lock` shared for as long as it uses them; the reload holds it exclusively.
struct EngineSlot {
  std::shared_mutex lock;
  std::unique_ptr<YaraEngine> engine;
  std::unique_ptr<Scanner> scanner;

  // Both present (call with `lock` held).
  bool usable() const { return engine != nullptr && scanner != nullptr; }
};

}  // namespace norvid
