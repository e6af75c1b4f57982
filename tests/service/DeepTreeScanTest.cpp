// A scan of a very deep tree through the real service under a low descriptor limit: the walk keeps
// a bounded number of directories open, so nothing below is left unscanned for want of
// descriptors.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/SocketClient.hpp"
#include "tests/service/ServiceProcess.hpp"
#include "tests/support/DirectoryChain.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::DirectoryChain;
using testing::ServiceProcess;
using testing::TempDir;
using Json = nlohmann::json;

TEST(DeepTreeScanTest, EveryThreatOfADeepChainIsFoundUnderALowDescriptorLimit) {
  const char* prlimit = "/usr/bin/prlimit";
  if (!fs::exists(prlimit)) GTEST_SKIP() << "prlimit is not installed";
  TempDir temp;
  const std::string program = testing::copyServiceProgram(temp.str() + "/exe");
  temp.write("exe/rules/deep.yar",
             "rule Deep_Marker { strings: $a = \"NORVID-DEEP-MARKER\" condition: $a }\n");
  const std::string tree = temp.str() + "/tree";
  fs::create_directories(tree);
  DirectoryChain chain(tree, 2000);
  std::set<std::string> infected;
  for (const int depth : {10, 150, 250}) {
    for (const char* name : {"threat.txt", "sibling0", "sibling1", "sibling2", "sibling3"}) {
      infected.insert(chain.write(depth, name, "x NORVID-DEEP-MARKER x"));
    }
  }
  ASSERT_EQ(infected.size(), 15u);

  const std::string socket = temp.str() + "/svc.sock";
  ServiceProcess service({prlimit, "--nofile=200:200", "--", program, "run"},
                         {"NORVID_DATA_DIR=" + temp.str() + "/data", "NORVID_SOCKET=" + socket},
                         temp.str() + "/service.log");
  ASSERT_TRUE(testing::waitForSocket(socket)) << service.output();
  const auto answer =
      platform::sendRequest(socket, Json{{"command", "scan"}, {"path", tree}}.dump());
  ASSERT_TRUE(answer.ok()) << answer.message();
  const Json response = Json::parse(*answer);

  std::set<std::string> found;
  for (const Json& line : response.value("infected_files", Json::array())) {
    const std::string text = line.get<std::string>();
    found.insert(text.substr(0, text.rfind(" (")));
  }
  EXPECT_EQ(found, infected) << response.dump();
  EXPECT_EQ(response.value("threats_found", 0), 15);
  // The fifteen files and the one level below the nesting limit, nothing unreadable.
  EXPECT_EQ(response.value("files_scanned", 0), 16);
  // The level below the limit is said in the answer itself.
  ASSERT_EQ(response.value("errors", Json::array()).size(), 1u) << response.dump();
  EXPECT_EQ(service.output().find("Too many open files"), std::string::npos) << service.output();

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.output();
}

}  // namespace
}  // namespace norvid
