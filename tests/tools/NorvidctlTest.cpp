// norvidctl as a person and a script see it: text on a terminal (a pseudo-terminal made by
// script(1)), the service's JSON unchanged with --raw or through a pipe. The service is a
// socket of the test that answers with canned responses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>
#include <vector>

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
        const nlohmann::json parsed = nlohmann::json::parse(request);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(request);
        auto byPath = byPath_.find(parsed.value("path", ""));
        if (byPath != byPath_.end()) return byPath->second;
        auto found = responses_.find(parsed.value("command", ""));
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
  // `directory`, when given, is the working directory norvidctl runs in.
  CtlRun norvidctl(const std::string& arguments, bool terminal, const std::string& directory = "") {
    const char* build = std::getenv("NORVID_TEST_BINARY_DIR");
    std::string command = (directory.empty() ? "" : "cd '" + directory + "' && ") +
                          "NORVID_SOCKET='" + socketInUse_ + "' '" +
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
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(received_, {});
  }

  testing::TempDir root_;
  std::string socket_ = root_.str() + "/svc.sock";
  std::string socketInUse_ = socket_;
  std::mutex mutex_;
  std::vector<std::string> received_;
  // Answers for a request's path, ahead of the answers by command.
  std::map<std::string, std::string> byPath_ = {
      {"/srv/clean",
       R"({"command":"scan","files_scanned":1,"path":"/srv/clean","result":"CLEAN","scan_type":"file","status":"ok","threats_found":0})"},
      {"/srv/eicar.com",
       R"({"command":"scan","files_scanned":1,"path":"/srv/eicar.com","result":"INFECTED","scan_type":"file","status":"ok","threat_name":"EICAR","threats_found":1})"},
      {"/srv/tree",
       R"json({"command":"scan","files_scanned":3,"infected_files":["/srv/tree/a (Trojan_X)"],"path":"/srv/tree","result":"INFECTED","scan_type":"directory","status":"ok","threats_found":1})json"},
      {"/srv/unreadable",
       R"({"command":"scan","files_scanned":1,"message":"Error al escanear: Permission denied","path":"/srv/unreadable","result":"ERROR","scan_type":"file","status":"ok","threats_found":0})"},
      {"/srv/missing", R"({"error":"La ruta no existe: /srv/missing","status":"error"})"},
      {"/srv/quiet", ""},
      {"/srv/setup.sh",
       R"({"command":"scan_realtime","quarantine_id":"q-1","quarantined":true,"status":"threat","threat":"EICAR"})"},
      {"/srv/report-dirty",
       R"({"command":"generate_report","files_scanned":9,"scan_id":"r-1","status":"ok","threats_found":2})"},
      {"/srv/report-clean",
       R"({"command":"generate_report","files_scanned":9,"scan_id":"r-2","status":"ok","threats_found":0})"},
  };
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
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.out, "");
  EXPECT_EQ(errText(), "Error: No se pudo eliminar la tarea (no existe)\n");
}

TEST_F(NorvidctlTest, RawAndPipedOutputIsTheServicesJsonUnchanged) {
  const std::string expected = responses_["list_schedules"] + "\n";
  EXPECT_EQ(norvidctl("list_schedules --raw", true).out, expected);
  EXPECT_EQ(norvidctl("list_schedules", false).out, expected);
  CtlRun error = norvidctl("remove_schedule task_id=t-9 --raw", true);
  EXPECT_EQ(error.code, 2);
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

// Seen: a scan that found a threat exited 0, so `norvidctl scan ... && deploy` deployed it.
TEST_F(NorvidctlTest, ExitStatusSaysWhatScriptsNeed) {
  struct Case {
    const char* arguments;
    int code;
  };
  const Case cases[] = {
      {"scan /srv/clean", 0},
      {"scan /srv/eicar.com", 1},
      {"scan path=/srv/tree", 1},
      {"scan /srv/missing", 2},
      {"scan /srv/unreadable", 2},
      {"scan /srv/quiet", 2},  // closed without an answer
      {"scan /srv/clean /srv/eicar.com", 1},
      {"scan /srv/clean /srv/missing", 2},
      // A threat outweighs a failed path: the infected file must never pass as fine.
      {"scan /srv/missing /srv/eicar.com", 1},
      {"scan_realtime path=/srv/setup.sh", 1},
      {"generate_report /srv/report-dirty", 1},
      {"generate_report /srv/report-clean", 0},
      {"list_schedules", 0},
      {"remove_schedule task_id=t-9", 2},
      {"status /srv/clean", 2},  // plain paths only for scans and reports
      {"", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(norvidctl(c.arguments, false).code, c.code);
    EXPECT_EQ(norvidctl(c.arguments, true).code, c.code);
  }
  socketInUse_ = root_.str() + "/nobody.sock";
  EXPECT_EQ(norvidctl("scan /srv/clean", false).code, 2);
  EXPECT_NE(errText().find("no se pudo conectar"), std::string::npos);
}

// Seen: `scan path=.` scanned the service's own working directory, `scan path=eicar.com`
// answered "La ruta no existe", and `scan FILE` was refused.
TEST_F(NorvidctlTest, PathsAreTheCallersAndMayBePlainArguments) {
  const std::string here = root_.str();
  ASSERT_EQ(norvidctl("scan path=.", false, here).code, 0);
  EXPECT_EQ(received(), std::vector<std::string>{R"({"command":"scan","path":")" + here + "\"}"});

  ASSERT_EQ(norvidctl("scan path=eicar.com", false, here).code, 0);
  EXPECT_EQ(received(),
            std::vector<std::string>{R"({"command":"scan","path":")" + here + "/eicar.com\"}"});

  norvidctl("scan eicar.com ./sub/ /srv/clean", false, here);
  EXPECT_EQ(received(),
            (std::vector<std::string>{R"({"command":"scan","path":")" + here + "/eicar.com\"}",
                                      R"({"command":"scan","path":")" + here + "/sub\"}",
                                      R"({"command":"scan","path":"/srv/clean"})"}));
}

TEST_F(NorvidctlTest, SeveralPathsPrintTheirFilesThenOneSummary) {
  CtlRun run = norvidctl("scan /srv/clean /srv/tree /srv/missing", true);
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out,
            "/srv/clean: OK\n"
            "/srv/tree/a: Trojan_X FOUND\n"
            "\nRutas: 3  Archivos escaneados: 4  Amenazas: 1  Errores: 1\n");
  EXPECT_EQ(errText(), "Error: La ruta no existe: /srv/missing\n");

  // Through a pipe: one answer per line as the service sent it, for scripts.
  CtlRun piped = norvidctl("scan /srv/clean /srv/eicar.com", false);
  EXPECT_EQ(piped.out, byPath_["/srv/clean"] + "\n" + byPath_["/srv/eicar.com"] + "\n");
}

TEST_F(NorvidctlTest, QuietPrintsOnlyTheThreats) {
  for (bool terminal : {false, true}) {
    SCOPED_TRACE(terminal);
    CtlRun run = norvidctl("scan --quiet /srv/clean /srv/tree /srv/eicar.com", terminal);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "/srv/tree/a: Trojan_X FOUND\n/srv/eicar.com: EICAR FOUND\n");
    CtlRun clean = norvidctl("scan -q /srv/clean", terminal);
    EXPECT_EQ(clean.code, 0);
    EXPECT_EQ(clean.out, "");
  }
}

}  // namespace
}  // namespace norvid
