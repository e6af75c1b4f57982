// norvidctl as a person and a script see it: text on a terminal (a pseudo-terminal made by
// script(1)), the service's JSON unchanged with --raw or through a pipe. The service is a
// socket of the test that answers with canned responses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/SocketTransport.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

struct CtlRun {
  int code;
  std::string out;
};

class NorvidctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/script")) GTEST_SKIP() << "script(1) is missing";
    ASSERT_TRUE(transport_.open(socket_).ok());
    server_ = std::thread([this] {
      transport_.serve([this](const std::string& request, const CallerIdentity&) {
        auto found = responses_.find(nlohmann::json::parse(request).value("command", ""));
        return found != responses_.end() ? found->second : std::string("{}");
      });
    });
  }
  void TearDown() override {
    transport_.stop();
    if (server_.joinable()) server_.join();
  }

  // Runs norvidctl with `arguments` (shell words) through a shell; on a pseudo-terminal when
  // `terminal`. The error stream goes to `errFile`.
  CtlRun norvidctl(const std::string& arguments, bool terminal) {
    const char* build = std::getenv("NORVID_TEST_BINARY_DIR");
    std::string command = "NORVID_SOCKET='" + socket_ + "' '" +
                          std::string(build != nullptr ? build : ".") + "/norvidctl' " + arguments +
                          " 2>'" + errFile() + "'";
    if (terminal) command = "script -qec \"" + command + "\" /dev/null";
    CtlRun run{-1, ""};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      run.out.append(buffer, length);
    int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // The terminal turns each line end into CR LF.
    std::string::size_type cr;
    while ((cr = run.out.find('\r')) != std::string::npos) run.out.erase(cr, 1);
    return run;
  }
  std::string errFile() const { return root_.str() + "/err"; }
  std::string errText() const { return testing::readFile(errFile()); }

  testing::TempDir root_;
  std::string socket_ = root_.str() + "/svc.sock";
  platform::SocketTransport transport_;
  std::thread server_;
  std::map<std::string, std::string> responses_ = {
      {"scan",
       R"({"command":"scan","files_scanned":1,"message":"El archivo está limpio.","path":"/srv/a","result":"CLEAN","scan_type":"file","status":"ok","threats_found":0})"},
      {"list_schedules",
       R"({"command":"list_schedules","count":1,"status":"ok","tasks":[{"enabled":true,"frequency":"daily","hour":3,"id":"t-1","minute":30,"scan_type":"quick"}]})"},
      {"remove_schedule",
       R"json({"error":"No se pudo eliminar la tarea (no existe)","status":"error"})json"},
  };
};

TEST_F(NorvidctlTest, PrintsTextOnATerminal) {
  CtlRun scan = norvidctl("scan path=/srv/a", true);
  EXPECT_EQ(scan.code, 0);
  EXPECT_EQ(scan.out,
            "/srv/a: OK\n\nEl archivo está limpio.\nArchivos escaneados: 1  Amenazas: 0\n");

  CtlRun list = norvidctl("list_schedules", true);
  EXPECT_EQ(list.out,
            "ID   FREQUENCY  HOUR  MINUTE  SCAN_TYPE  ENABLED\n"
            "t-1  daily      3     30      quick      true\n"
            "Total: 1\n");

  CtlRun error = norvidctl("remove_schedule task_id=t-9", true);
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.out, "");
  EXPECT_EQ(errText(), "Error: No se pudo eliminar la tarea (no existe)\n");
}

TEST_F(NorvidctlTest, RawAndPipedOutputIsTheServicesJsonUnchanged) {
  const std::string expected = responses_["list_schedules"] + "\n";
  EXPECT_EQ(norvidctl("list_schedules --raw", true).out, expected);
  EXPECT_EQ(norvidctl("list_schedules", false).out, expected);
  CtlRun error = norvidctl("remove_schedule task_id=t-9 --raw", true);
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.out, responses_["remove_schedule"] + "\n");
  EXPECT_EQ(errText(), "");
}

TEST_F(NorvidctlTest, HelpAndCompletionListsNeedNoService) {
  CtlRun help = norvidctl("help", false);
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("  scan path=...\n"), std::string::npos);
  EXPECT_NE(norvidctl("--list-commands", false).out.find("usb_list_devices\n"), std::string::npos);
  EXPECT_EQ(norvidctl("--list-members add_exclusion", false).out, "path\ndescription\n");
  EXPECT_EQ(norvidctl("help no_such_command", false).code, 2);
}

}  // namespace
}  // namespace norvid
