#include "ipc/CommandDispatcher.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/CommandTable.hpp"
#include "ipc/ServiceConfiguration.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/LocalUser.hpp"
#include "tests/support/ScopedEnvironment.hpp"

namespace norvid {
namespace {

// A dispatcher over the real command table whose handlers echo the values they were given, so
// the tests see exactly what the dispatcher read.
class EchoDispatcher {
 public:
  // The administrator group comes from the environment, as the service reads it at start.
  EchoDispatcher()
      : dispatcher_(CommandTable::build(echoHandler),
                    ServiceConfiguration::fromEnvironment().administratorGroup) {}

  std::string operator()(const std::string& request,
                         const CallerIdentity& caller = CallerIdentity{}) const {
    return dispatcher_.dispatch(request, caller);
  }

 private:
  static CommandHandler echoHandler(const std::string& command) {
    return [command](const CommandArgs& args) {
      nlohmann::json echo{{"status", "ok"}, {"command", command}};
      for (const char* name : {"path", "threat_name", "id", "description", "content",
                               "content_name", "scan_type", "frequency", "task_id",
                               "device_id"}) {
        try {
          echo[name] = args.text(name);
        } catch (const std::out_of_range&) {
        }
      }
      for (const char* name : {"hour", "minute", "max_count"}) {
        try {
          echo[name] = args.integer(name);
        } catch (const std::out_of_range&) {
        }
      }
      return echo.dump();
    };
  }

  CommandDispatcher dispatcher_;
};

struct ExactCase {
  const char* request;
  const char* response;
};

TEST(CommandDispatcherTest, AnswersTheEnvelopeErrorsExactly) {
  const ExactCase cases[] = {
      {"{}", R"({"error":"Missing 'command' field","status":"error"})"},
      {"[1,2]", R"({"error":"Missing 'command' field","status":"error"})"},
      {"\"status\"", R"({"error":"Missing 'command' field","status":"error"})"},
      {"42", R"({"error":"Missing 'command' field","status":"error"})"},
      {R"({"command":"STATUS"})", R"({"error":"Unknown command: STATUS","status":"error"})"},
      {R"({"command":""})", R"({"error":"Unknown command: ","status":"error"})"},
      {R"({"command":"scan"})",
       R"({"error":"Missing 'path' field for scan command","status":"error"})"},
      {R"({"command":"quarantine_file"})",
       R"({"error":"Missing 'path' field for quarantine_file command","status":"error"})"},
      {R"({"command":"quarantine_file","path":"/x"})",
       R"({"error":"Missing 'threat_name' field for quarantine_file command","status":"error"})"},
      {R"({"command":"add_schedule","frequency":"daily","hour":1,"minute":2})",
       R"({"error":"Missing required fields for add_schedule","status":"error"})"},
      {R"({"command":"remove_schedule"})",
       R"({"error":"Missing 'task_id' field for remove_schedule","status":"error"})"},
      {R"({"command":"generate_report"})",
       R"({"error":"Missing 'path' field for generate_report","status":"error"})"},
      {R"({"command":"scan_amsi"})",
       R"({"error":"Missing 'content' field for scan_amsi command","status":"error"})"},
      {R"({"command":"delete_quarantine"})",
       R"({"error":"Missing 'id' field for delete_quarantine command","status":"error"})"},
  };
  EchoDispatcher dispatch;
  for (const ExactCase& c : cases) {
    EXPECT_EQ(dispatch(c.request), c.response) << c.request;
  }
}

TEST(CommandDispatcherTest, LibraryErrorsCarryTheirPrefixAndKind) {
  struct PrefixCase {
    std::string request;
    std::string prefix;
  };
  const PrefixCase cases[] = {
      {R"({"command":42})", "JSON parse error: [json.exception.type_error.302]"},
      {R"({"command":"scan","path":null})", "JSON parse error: [json.exception.type_error.302]"},
      {R"({"command":"list_reports","max_count":"7"})",
       "JSON parse error: [json.exception.type_error.302]"},
      {R"({"command":"sta)", "JSON parse error: [json.exception.parse_error.101]"},
      {R"({"command":"status"} x)", "JSON parse error: [json.exception.parse_error.101]"},
      {std::string("{\"command\":\"sta\0tus\"}", 21),
       "JSON parse error: [json.exception.parse_error.101]"},
      {"", "JSON parse error: [json.exception.parse_error.101]"},
  };
  EchoDispatcher dispatch;
  for (const PrefixCase& c : cases) {
    nlohmann::json response = nlohmann::json::parse(dispatch(c.request));
    EXPECT_EQ(response.size(), 2u) << c.request;
    EXPECT_EQ(response["status"], "error");
    EXPECT_EQ(response["error"].get<std::string>().rfind(c.prefix, 0), 0u)
        << c.request << " -> " << response["error"];
  }
}

TEST(CommandDispatcherTest, ReadsValuesWithDefaultsAndIntegerConversion) {
  struct ValueCase {
    const char* request;
    const char* member;
    nlohmann::json expected;
  };
  const ValueCase cases[] = {
      {R"({"command":"list_reports"})", "max_count", 50},
      {R"({"command":"list_reports","max_count":7.9})", "max_count", 7},
      {R"({"command":"list_reports","max_count":-2.5})", "max_count", -2},
      {R"({"command":"list_reports","max_count":true})", "max_count", 1},
      {R"({"command":"scan_amsi","content":"x"})", "content_name", "unknown_script"},
      {R"({"command":"generate_report","path":"/d"})", "scan_type", "manual"},
      {R"({"command":"add_exclusion","path":"/d"})", "description", ""},
      {R"({"command":"usb_disable_port"})", "device_id", ""},
      {R"({"command":"scan","path":"/tmp/ñ","extra":[1]})", "path", "/tmp/ñ"},
      {R"({"command":"add_schedule","frequency":"daily","hour":23,"minute":5,"scan_type":"quick"})",
       "hour", 23},
  };
  EchoDispatcher dispatch;
  for (const ValueCase& c : cases) {
    nlohmann::json response = nlohmann::json::parse(dispatch(c.request));
    EXPECT_EQ(response[c.member], c.expected) << c.request;
  }
}

TEST(CommandDispatcherTest, RefusesIntegersOutsideTheirRangeAndOverlongTexts) {
  const std::string schedule =
      R"({"command":"add_schedule","frequency":"daily","scan_type":"quick",)";
  const std::string longName(1025, 'n');
  struct RangeCase {
    std::string request;
    const char* member;  // the member the answer names; nullptr when the request is accepted
  };
  const RangeCase cases[] = {
      {schedule + R"("hour":1e300,"minute":0})", "hour"},
      {schedule + R"("hour":-1e300,"minute":0})", "hour"},
      {schedule + R"("hour":1,"minute":2147483648})", "minute"},
      {schedule + R"("hour":-2147483649,"minute":0})", "hour"},
      {schedule + R"("hour":18446744073709551615,"minute":0})", "hour"},
      {schedule + R"("hour":2147483647,"minute":-2147483648})", nullptr},
      {schedule + R"("hour":-2147483648.9,"minute":2147483647.9})", nullptr},
      {R"({"command":"list_reports","max_count":1e10})", "max_count"},
      {R"({"command":"quarantine_file","path":"/a","threat_name":")" + longName + "\"}",
       "threat_name"},
      {R"({"command":"quarantine_file","path":"/a","threat_name":")" + longName.substr(1) + "\"}",
       nullptr},
      {R"({"command":"add_exclusion","path":"/a","description":")" + longName + "\"}",
       "description"},
      {schedule + R"("hour":1,"minute":2,"scan_paths":"/srv"})", "scan_paths"},
      {schedule + R"("hour":1,"minute":2,"scan_paths":["/srv",3]})", "scan_paths"},
      {schedule + R"("hour":1,"minute":2,"scan_paths":{"a":"/srv"}})", "scan_paths"},
      {schedule + R"("hour":1,"minute":2,"scan_paths":["/srv","/home"]})", nullptr},
  };
  EchoDispatcher dispatch;
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 120));
    nlohmann::json response = nlohmann::json::parse(dispatch(c.request));
    if (c.member == nullptr) {
      EXPECT_EQ(response["status"], "ok");
      continue;
    }
    ASSERT_EQ(response.size(), 2u) << response;
    EXPECT_EQ(response["status"], "error");
    EXPECT_EQ(
        response["error"].get<std::string>().rfind("Field '" + std::string(c.member) + "'", 0), 0u)
        << response;
  }
}

TEST(CommandDispatcherTest, AddScheduleReadsScanTypeFirst) {
  EchoDispatcher dispatch;
  // Both scan_type and frequency have the wrong type: the error is about scan_type's read,
  // which comes first; the message names the type found in it (a number, not a boolean).
  nlohmann::json response = nlohmann::json::parse(dispatch(
      R"({"command":"add_schedule","frequency":true,"hour":1,"minute":2,"scan_type":3})"));
  EXPECT_NE(response["error"].get<std::string>().find("but is number"), std::string::npos);
}

TEST(CommandDispatcherTest, HandlerExceptionsBecomeErrorResponses) {
  std::vector<CommandRow> rows = {
      {"boom", Access::Open, {}, {}, [](const CommandArgs&) -> std::string {
         throw std::runtime_error("disk on fire");
       }},
      {"bad_utf8", Access::Open, {}, {}, [](const CommandArgs&) {
         return nlohmann::json{{"x", std::string("\xff\xfe")}}.dump(
             -1, ' ', false, nlohmann::json::error_handler_t::strict);
       }},
  };
  CommandDispatcher dispatcher(std::move(rows), platform::kDefaultAdministratorGroup);
  EXPECT_EQ(dispatcher.dispatch(R"({"command":"boom"})", {}),
            R"({"error":"Error: disk on fire","status":"error"})");
  std::string utf8 = dispatcher.dispatch(R"({"command":"bad_utf8"})", {});
  EXPECT_NE(utf8.find("JSON parse error: [json.exception.type_error.316]"), std::string::npos);
}

// Bytes that are not UTF-8 in the request, or in an exception text, must not turn the error
// answer itself into an exception that escapes the dispatcher.
TEST(CommandDispatcherTest, ErrorsQuotingInvalidUtf8StillAnswer) {
  std::vector<CommandRow> rows = {
      {"unreadable",
       Access::Open,
       {},
       {},
       [](const CommandArgs&) -> std::string {
         throw std::runtime_error("cannot read /tmp/\xff.bin");
       }},
  };
  CommandDispatcher dispatcher(std::move(rows), platform::kDefaultAdministratorGroup);
  const ExactCase cases[] = {
      // Found by the dispatcher fuzzer: the parser quotes the stray byte it last read.
      {"{\"command\":\"list_reports\",\"max_count\":\xb5}",
       "JSON parse error: [json.exception.parse_error.101]"},
      {"{\"command\":\"\xc3\"}", "JSON parse error: [json.exception.parse_error.101]"},
      {R"({"command":"unreadable"})", "Error: cannot read /tmp/\xef\xbf\xbd.bin"},
  };
  for (const ExactCase& c : cases) {
    std::string answer;
    ASSERT_NO_THROW(answer = dispatcher.dispatch(c.request, {})) << c.request;
    const nlohmann::json response = nlohmann::json::parse(answer);
    EXPECT_EQ(response.size(), 2u) << answer;
    EXPECT_EQ(response["status"], "error") << answer;
    EXPECT_EQ(response["error"].get<std::string>().rfind(c.response, 0), 0u) << answer;
  }
}

}  // namespace
}  // namespace norvid

namespace norvid {
namespace {

using testing::ScopedEnvironment;

using testing::localUser;

const char* const kAdministratorCommands[] = {
    "add_exclusion",      "remove_exclusion",  "add_schedule", "remove_schedule",
    "reload_rules",       "restore_quarantine", "delete_quarantine", "usb_enable",
    "usb_disable",        "usb_enable_port",   "usb_disable_port"};

const char* const kOpenCommands[] = {
    "scan",           "scan_realtime",   "list_quarantine", "quarantine_file",
    "status",         "list_exclusions", "list_schedules",  "scan_amsi",
    "generate_report", "list_reports",   "usb_status",      "usb_list_devices",
    "list_scans",      "cancel_scan",    "subscribe_events"};

// The refusal comes before the member checks, so a request without its members is refused the
// same way, and nothing of the command runs.
TEST(CommandDispatcherAccessTest, RefusesAdministratorCommandsToOtherUsersBeforeAnything) {
  ScopedEnvironment group("NORVID_ADMIN_GROUP", "norvid-no-such-group");
  EchoDispatcher dispatch;
  testing::EventLogCapture& log = testing::EventLogCapture::instance();
  for (const char* command : kAdministratorCommands) {
    SCOPED_TRACE(command);
    const std::size_t mark = log.mark();
    EXPECT_EQ(dispatch(std::string(R"({"command":")") + command + "\"}", localUser(65534, 65534)),
              std::string(R"({"error":"Acceso denegado: )") + command +
                  R"( requiere privilegios de administrador","status":"error"})");
    const std::vector<std::string> lines = log.messagesSince(mark);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("[WRN] Acceso denegado: uid 65534 intentó ejecutar ") +
                            command + " sin privilegios de administrador");
    // Root and the service's own requests pass on to the member checks and the handler.
    for (const CallerIdentity& allowed : {localUser(0, 0), CallerIdentity{}}) {
      EXPECT_EQ(dispatch(std::string(R"({"command":")") + command + "\"}", allowed)
                    .find("Acceso denegado"),
                std::string::npos);
    }
  }
  for (const char* command : kOpenCommands) {
    SCOPED_TRACE(command);
    EXPECT_EQ(dispatch(std::string(R"({"command":")") + command + "\"}", localUser(65534, 65534))
                  .find("Acceso denegado"),
              std::string::npos);
  }
}

TEST(CommandDispatcherAccessTest, AdministratorGroupByPrimaryOrSupplementaryGroup) {
  // "nogroup" (65534) exists on every Debian system; it stands in for the administrator group.
  ScopedEnvironment group("NORVID_ADMIN_GROUP", "nogroup");
  EchoDispatcher dispatch;
  struct Case {
    const char* name;
    CallerIdentity caller;
    bool allowed;
  };
  const Case cases[] = {
      {"primary group", localUser(1000, 65534), true},
      {"supplementary group", localUser(1000, 1000, {27, 65534}), true},
      {"other groups", localUser(1000, 1000, {27, 100}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = dispatch(R"({"command":"reload_rules"})", c.caller);
    EXPECT_EQ(answer.find("Acceso denegado") == std::string::npos, c.allowed) << answer;
  }
}

}  // namespace
}  // namespace norvid
