#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <stdexcept>

#include "logging/ServiceEvent.hpp"
#include "logging/ServiceEvents.hpp"
#include "tests/support/LocalUser.hpp"
#include "tests/support/RecordedJournal.hpp"

namespace norvid {
namespace {

using Fields = std::map<std::string, std::string>;

Fields fieldsOf(const ServiceEvent& event) {
  Fields fields;
  for (const auto& [name, value] : event.journalFields()) fields[name] = value;
  return fields;
}

TEST(ServiceEventTest, EachKindHasItsOwnIdPriorityAndSentence) {
  struct Case {
    ServiceEventKind kind;
    const char* word;
    const char* messageId;
    int priority;
    const char* message;
  };
  const Case cases[] = {
      {ServiceEventKind::ThreatFound, "threat_found", "d763df43d6944423ad774bccbc28867d", 4,
       "Amenaza detectada: EICAR en /home/ana/x.com"},
      {ServiceEventKind::FileQuarantined, "file_quarantined", "24a6b131297149dfb75d83d4ec617b8d", 5,
       "Archivo movido a cuarentena: /home/ana/x.com (EICAR)"},
      {ServiceEventKind::FileRestored, "file_restored", "975279ccf17a4ad491f1cd656af7f643", 5,
       "Archivo restaurado desde la cuarentena: /home/ana/x.com (EICAR)"},
      {ServiceEventKind::FileDeleted, "file_deleted", "371fb51bbc9c4af6936f4a296bfd2fb9", 5,
       "Archivo eliminado de la cuarentena: /home/ana/x.com (EICAR)"},
      {ServiceEventKind::ProgramBlocked, "program_blocked", "42ded75075d842d8b35fb61d6eec624a", 4,
       "Ejecución bloqueada: /home/ana/x.com (EICAR)"},
      {ServiceEventKind::ScanFinished, "scan_finished", "f230b4fec2684c1689a40123b0f5de26", 5,
       "Escaneo terminado: /home/ana/x.com | 3 archivos, 1 amenazas"},
      {ServiceEventKind::RulesReloaded, "rules_reloaded", "4c85ac22c39140ce9c94c60a333434d7", 6,
       "Reglas actualizadas: 12 reglas"},
  };
  std::set<std::string> ids;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    ServiceEvent event;
    event.kind = c.kind;
    event.path = c.kind == ServiceEventKind::RulesReloaded ? "" : "/home/ana/x.com";
    event.threat =
        c.kind == ServiceEventKind::ScanFinished || c.kind == ServiceEventKind::RulesReloaded
            ? ""
            : "EICAR";
    event.filesScanned = 3;
    event.threatsFound = 1;
    event.ruleCount = 12;
    event.callerUid = 1000;
    EXPECT_STREQ(event.kindWord(), c.word);
    EXPECT_STREQ(event.messageId(), c.messageId);
    EXPECT_EQ(event.priority(), c.priority);
    EXPECT_EQ(event.message(), c.message);
    ids.insert(event.messageId());

    Fields fields = fieldsOf(event);
    EXPECT_EQ(fields["MESSAGE_ID"], c.messageId);
    EXPECT_EQ(fields["MESSAGE"], c.message);
    EXPECT_EQ(fields["PRIORITY"], std::to_string(c.priority));
    EXPECT_EQ(fields["NORVID_UID"], "1000");
    EXPECT_EQ(fields.count("NORVID_PATH"), event.path.empty() ? 0u : 1u);
    EXPECT_EQ(fields.count("NORVID_THREAT"), event.threat.empty() ? 0u : 1u);
    EXPECT_EQ(fields.count("NORVID_SCAN_ID"), 0u);  // none given

    const nlohmann::json json = event.toJson();
    EXPECT_EQ(json["event"], c.word);
    EXPECT_EQ(json["message"], c.message);
    EXPECT_EQ(json["uid"], 1000);
    EXPECT_TRUE(std::regex_match(json["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  }
  EXPECT_EQ(ids.size(), std::size(cases));
  for (const std::string& id : ids) EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}")));
  // A clean scan's end is only informational.
  ServiceEvent clean;
  clean.kind = ServiceEventKind::ScanFinished;
  EXPECT_EQ(clean.priority(), 6);
}

TEST(ServiceEventTest, TheOwnerIsTheUidWhenKnownElseTheCaller) {
  ServiceEvent event;
  EXPECT_FALSE(event.uid().has_value());
  EXPECT_EQ(fieldsOf(event).count("NORVID_UID"), 0u);
  EXPECT_FALSE(event.toJson().contains("uid"));
  event.callerUid = 1000;
  EXPECT_EQ(event.uid(), 1000u);
  event.ownerUid = 0;
  EXPECT_EQ(event.uid(), 0u);
  EXPECT_EQ(fieldsOf(event)["NORVID_UID"], "0");
}

class ThrowingWriter final : public platform::JournalWriter {
 public:
  void write(const platform::JournalFields&) override { throw std::runtime_error("journal"); }
};

TEST(ServiceEventsTest, EveryEventGoesToTheJournalAndTheListeners) {
  testing::RecordedJournal journal;
  ServiceEvents& events = ServiceEvents::instance();
  std::vector<std::string> heard;
  const std::uint64_t id =
      events.addListener([&heard](const ServiceEvent& event) { heard.push_back(event.path); });
  events.threatFound("scan", "/nowhere/x", "EICAR", testing::localUser(1000, 1000), "7");
  events.programBlocked("/nowhere/y", "EICAR");
  events.removeListener(id);
  events.rulesReloaded(3, CallerIdentity::service());

  EXPECT_EQ(heard, (std::vector<std::string>{"/nowhere/x", "/nowhere/y"}));
  auto entries = journal.entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0]["NORVID_UID"], "1000");  // no owner to read: the caller
  EXPECT_EQ(entries[0]["NORVID_SCAN_ID"], "7");
  EXPECT_EQ(entries[1]["NORVID_COMMAND"], "onaccess");
  EXPECT_EQ(entries[1].count("NORVID_UID"), 0u);
  EXPECT_EQ(entries[2].count("NORVID_UID"), 0u);  // the service's own work has no caller
}

TEST(ServiceEventsTest, AFailingJournalNeverFailsTheWork) {
  ServiceEvents::instance().setJournalWriter(std::make_unique<ThrowingWriter>());
  EXPECT_NO_THROW(ServiceEvents::instance().rulesReloaded(1, CallerIdentity::service()));
  ServiceEvents::instance().setJournalWriter(nullptr);
}

}  // namespace
}  // namespace norvid
