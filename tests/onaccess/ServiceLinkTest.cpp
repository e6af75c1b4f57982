#include <gtest/gtest.h>

#include "onaccess/ServiceLink.hpp"

namespace norvid::onaccess {
namespace {

using Kind = ScanVerdict::Kind;

TEST(ServiceLinkTest, ReadsEveryFormOfTheRealtimeAnswer) {
  struct Case {
    std::string answer;
    Kind kind;
    std::string detail;
    bool quarantined;
  };
  const std::vector<Case> cases = {
      {R"({"command":"scan_realtime","quarantined":false,"status":"clean","threat":null})",
       Kind::Clean, "", false},
      {R"({"command":"scan_realtime","quarantine_id":"x","quarantined":true,"status":"threat","threat":"EICAR_Test_File"})",
       Kind::Threat, "EICAR_Test_File", true},
      {R"({"command":"scan_realtime","quarantine_error":"e","quarantined":false,"status":"threat","threat":"R"})",
       Kind::Threat, "R", false},
      {R"({"command":"scan_realtime","error":"Excluded by user","quarantined":false,"status":"error"})",
       Kind::NoVerdict, "Excluded by user", false},
      {R"({"error":"Archivo no existe: /w/f","status":"error"})", Kind::NoVerdict,
       "Archivo no existe: /w/f", false},
      {R"({"status":"threat","threat":7,"quarantined":"yes"})", Kind::Threat, "", false},
      {"not json", Kind::Failed, "respuesta no válida del servicio", false},
      {"[]", Kind::Failed, "respuesta no válida del servicio", false},
      {R"({"status":5})", Kind::Failed, "respuesta no válida del servicio", false},
  };
  for (const Case& c : cases) {
    ScanVerdict verdict = ServiceLink::readAnswer(c.answer);
    EXPECT_EQ(verdict.kind, c.kind) << c.answer;
    EXPECT_EQ(verdict.detail, c.detail) << c.answer;
    EXPECT_EQ(verdict.quarantined, c.quarantined) << c.answer;
  }
}

TEST(ServiceLinkTest, RequestsThatCannotTravelAreNotBuilt) {
  EXPECT_EQ(ServiceLink::requestFor("/w/a \"b\""),
            R"({"command":"scan_realtime","path":"/w/a \"b\""})");
  EXPECT_EQ(ServiceLink::requestFor("/w/p", true),
            R"({"command":"scan_realtime","path":"/w/p","program_start":true})");
  EXPECT_EQ(ServiceLink::requestFor("/w/\xff\xfe"), "");
  EXPECT_EQ(ServiceLink::requestFor("/" + std::string(4090, 'a')), "");
}

TEST(ServiceLinkTest, AMissingServiceIsUnreachableAtOnce) {
  ServiceLink link("/nonexistent/norvid-onaccess-test.sock");
  ScanVerdict verdict =
      link.scan("/w/f", -1, std::chrono::steady_clock::now() + std::chrono::seconds(30));
  EXPECT_EQ(verdict.kind, Kind::Unreachable);
  EXPECT_FALSE(link.probe(std::chrono::seconds(30)));
  EXPECT_EQ(link.servicePid(), 0);
}

}  // namespace
}  // namespace norvid::onaccess
