#include <gtest/gtest.h>

#include "ipc/ExclusionCommands.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using testing::TempDir;

class ExclusionCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(list.initialize()); }

  TempDir dir;
  ExclusionsManager list{(dir.path() / "exclusions.json").string()};
  ExclusionCommands commands{&list};
};

TEST(ExclusionCommandsWithoutListTest, EveryHandlerAnswersTheMissingList) {
  ExclusionCommands commands(nullptr);
  const std::string expected =
      R"({"error":"Gestor de exclusiones no inicializado","status":"error"})";
  EXPECT_EQ(commands.handleAddExclusion("/srv", ""), expected);
  EXPECT_EQ(commands.handleRemoveExclusion("/srv"), expected);
  EXPECT_EQ(commands.handleListExclusions(), expected);
}

TEST_F(ExclusionCommandsTest, AddListRemove) {
  const std::string refusedAdd =
      "{\"error\":\"No se pudo agregar la exclusión (puede ser ruta protegida o duplicada)\","
      "\"status\":\"error\"}";
  const std::string missing =
      "{\"error\":\"No se pudo eliminar la exclusión (no existe)\",\"status\":\"error\"}";
  const struct {
    std::string (*call)(ExclusionCommands&);
    std::string expected;
  } steps[] = {
      {[](ExclusionCommands& c) { return c.handleListExclusions(); },
       R"({"command":"list_exclusions","count":0,"exclusions":[],"status":"ok"})"},
      {[](ExclusionCommands& c) { return c.handleAddExclusion("C:\\Users\\User1\\Tools", ""); },
       R"({"command":"add_exclusion","message":"Exclusión agregada exitosamente",)"
       R"("path":"C:\\Users\\User1\\Tools","status":"ok","total_exclusions":1})"},
      {[](ExclusionCommands& c) { return c.handleAddExclusion("c:/users/user1/tools", "x"); },
       refusedAdd},
      {[](ExclusionCommands& c) { return c.handleAddExclusion("C:\\Windows\\System32\\x", ""); },
       refusedAdd},
      {[](ExclusionCommands& c) { return c.handleAddExclusion("/etc/cron.d", ""); }, refusedAdd},
      {[](ExclusionCommands& c) { return c.handleAddExclusion("/srv/Datos", "Copias ñ"); },
       R"({"command":"add_exclusion","message":"Exclusión agregada exitosamente",)"
       R"("path":"/srv/Datos","status":"ok","total_exclusions":2})"},
      {[](ExclusionCommands& c) { return c.handleListExclusions(); },
       R"({"command":"list_exclusions","count":2,"exclusions":[)"
       R"({"description":"","type":"path","value":"c:\\users\\user1\\tools"},)"
       R"({"description":"Copias ñ","type":"path","value":"\\srv\\datos"}],"status":"ok"})"},
      {[](ExclusionCommands& c) { return c.handleRemoveExclusion("C:/Users/User1/Tools"); },
       R"({"command":"remove_exclusion","message":"Exclusión eliminada exitosamente",)"
       R"("path":"C:/Users/User1/Tools","status":"ok","total_exclusions":1})"},
      {[](ExclusionCommands& c) { return c.handleRemoveExclusion("C:/Users/User1/Tools"); },
       missing},
      {[](ExclusionCommands& c) { return c.handleRemoveExclusion("/never/added"); }, missing},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(step.call(commands), step.expected);
  }
}

TEST_F(ExclusionCommandsTest, ListShowsRulesWrittenByHand) {
  dir.write("exclusions.json", R"({"exclusions":[
    {"type":"extension","value":".log","description":"Registros"},
    {"type":"hash","value":"ab12"},
    {"type":"pattern","value":".*\\.tmp"}]})");
  ASSERT_TRUE(list.loadExclusions());
  EXPECT_EQ(commands.handleListExclusions(),
            R"({"command":"list_exclusions","count":3,"exclusions":[)"
            R"({"description":"Registros","type":"extension","value":".log"},)"
            R"({"description":"","type":"hash","value":"ab12"},)"
            R"({"description":"","type":"pattern","value":".*\\.tmp"}],"status":"ok"})");
}

}  // namespace
}  // namespace norvid
