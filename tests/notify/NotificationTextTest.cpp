#include <gtest/gtest.h>

#include "notify/NotificationText.hpp"

namespace norvid {
namespace {

using nlohmann::json;

TEST(NotificationTextTest, SaysTheFileTheThreatAndWhatWasDone) {
  struct Case {
    json event;
    const char* summary;
    const char* body;
    int urgency;
  };
  const Case cases[] = {
      {{{"event", "file_quarantined"}, {"path", "/home/ana/Descargas/x.exe"}, {"threat", "EICAR"}},
       "Amenaza en x.exe: movido a cuarentena",
       "EICAR\n/home/ana/Descargas/x.exe",
       2},
      {{{"event", "program_blocked"}, {"path", "/tmp/run.sh"}, {"threat", "Trojan_X"}},
       "Amenaza en run.sh: ejecución bloqueada",
       "Trojan_X\n/tmp/run.sh",
       2},
      {{{"event", "threat_found"}, {"command", "scan"}, {"path", "/srv/a"}, {"threat", "T"}},
       "Amenaza encontrada en a",
       "T\n/srv/a",
       2},
      {{{"event", "file_restored"}, {"path", "/home/ana/x.exe"}},
       "Restaurado desde la cuarentena: x.exe",
       "/home/ana/x.exe",
       1},
      {{{"event", "scan_finished"}, {"path", "/home"}, {"files_scanned", 9}, {"threats_found", 2}},
       "Escaneo terminado: 2 amenaza(s)",
       "/home\n9 archivos",
       2},
      {{{"event", "lost"}, {"lost", 4}}, "Avisos perdidos", "4 eventos no se pudieron mostrar", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.summary);
    auto text = NotificationText::forEvent(c.event);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->summary, c.summary);
    EXPECT_EQ(text->body, c.body);
    EXPECT_EQ(text->urgency, c.urgency);
  }
}

TEST(NotificationTextTest, LeavesOutWhatNeedsNoNotification) {
  const json quiet[] = {
      json{{"event", "scan_finished"}, {"path", "/home"}, {"threats_found", 0}},
      json{{"event", "rules_reloaded"}, {"rule_count", 3}},
      // The quarantine that follows an on-access threat tells it.
      json{{"event", "threat_found"}, {"command", "scan_realtime"}, {"path", "/tmp/x"}},
      json{{"event", 7}},
      json::array(),
      json{{"status", "ok"}, {"command", "subscribe_events"}},
  };
  for (const json& event : quiet) EXPECT_FALSE(NotificationText::forEvent(event)) << event;
}

TEST(NotificationTextTest, ABurstIsOneNotification) {
  std::vector<json> burst;
  for (int i = 0; i < 7; ++i) {
    burst.push_back({{"event", "file_quarantined"},
                     {"path", "/tmp/f" + std::to_string(i)},
                     {"threat", "EICAR"}});
  }
  burst.push_back({{"event", "rules_reloaded"}});
  auto text = NotificationText::forBurst(burst);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->summary, "7 avisos de Norvid Shield");
  EXPECT_EQ(text->urgency, 2);
  EXPECT_EQ(text->body,
            "Amenaza en f0: movido a cuarentena\nAmenaza en f1: movido a cuarentena\n"
            "Amenaza en f2: movido a cuarentena\nAmenaza en f3: movido a cuarentena\n"
            "Amenaza en f4: movido a cuarentena\n… y 2 más");
  EXPECT_EQ(NotificationText::forBurst({burst[0]})->summary, "Amenaza en f0: movido a cuarentena");
  EXPECT_FALSE(NotificationText::forBurst({burst.back()}).has_value());
}

}  // namespace
}  // namespace norvid
