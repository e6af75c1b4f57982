#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ipc/CommandTable.hpp"
#include "tests/support/TempDir.hpp"
#include "tools/CommandCatalog.hpp"

namespace norvid {
namespace {

// The client's help, manual page and completion must name exactly the service's commands and
// members, and call required what the service requires.
TEST(CommandCatalogTest, MatchesTheServicesCommandTable) {
  std::vector<CommandRow> rows =
      CommandTable::build([](const std::string&) { return CommandHandler(); });
  std::set<std::string> serviceCommands;
  for (const CommandRow& row : rows) {
    serviceCommands.insert(row.name);
    auto command = CommandCatalog::find(row.name);
    ASSERT_TRUE(command.has_value()) << row.name;
    std::set<std::string> serviceMembers;
    for (const ArgRead& read : row.reads) serviceMembers.insert(read.name);
    std::set<std::string> clientMembers;
    for (const auto& member : command->members) clientMembers.insert(member.name);
    EXPECT_EQ(clientMembers, serviceMembers) << row.name;
    for (const ArgRead& read : row.reads) {
      auto member = std::find_if(command->members.begin(), command->members.end(),
                                 [&](const auto& m) { return m.name == read.name; });
      if (member == command->members.end() || member->required || !read.fallback) continue;
      const nlohmann::json& fallback = *read.fallback;
      EXPECT_EQ(member->fallback,
                fallback.is_string() ? fallback.get<std::string>() : fallback.dump())
          << row.name << " " << read.name;
    }
    for (const RequiredMember& required : row.required) {
      auto member = std::find_if(command->members.begin(), command->members.end(),
                                 [&](const auto& m) { return m.name == required.name; });
      ASSERT_NE(member, command->members.end()) << row.name;
      EXPECT_TRUE(member->required) << row.name << " " << required.name;
    }
  }
  std::set<std::string> clientCommands;
  for (const auto& command : CommandCatalog::commands()) clientCommands.insert(command.name);
  EXPECT_EQ(clientCommands, serviceCommands);
}

TEST(CommandCatalogTest, HelpListsEveryCommandWithItsMembers) {
  const std::string help = CommandCatalog::helpText();
  EXPECT_NE(help.find("  add_schedule frequency=... hour=... minute=... scan_type=... "
                      "[scan_paths=]  (admin)\n"),
            std::string::npos);
  EXPECT_NE(help.find("  list_reports [max_count=50]\n"), std::string::npos);
  for (const auto& command : CommandCatalog::commands()) {
    EXPECT_NE(help.find("  " + command.name), std::string::npos) << command.name;
  }
}

TEST(CommandCatalogTest, TheManualPageDescribesEveryCommandWithItsMembers) {
  const std::string page =
      testing::readFile(std::string(NORVID_SOURCE_DIR) + "/packaging/man/norvidctl.1.scd");
  ASSERT_FALSE(page.empty());
  for (const auto& command : CommandCatalog::commands()) {
    std::size_t entry = page.find("\n*" + command.name + "*");
    ASSERT_NE(entry, std::string::npos) << command.name;
    for (const auto& member : command.members) {
      EXPECT_NE(page.find(member.name + "=", entry), std::string::npos)
          << command.name << " " << member.name;
    }
    EXPECT_NE(page.find("Example: *norvidctl " + command.name, entry), std::string::npos)
        << command.name;
  }
}

}  // namespace
}  // namespace norvid
