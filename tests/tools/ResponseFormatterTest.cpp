#include <gtest/gtest.h>

#include "tools/ResponseFormatter.hpp"

namespace norvid {
namespace {

using Json = nlohmann::json;

struct Case {
  const char* name;
  Json request;
  Json response;
  std::string out;
  std::string err;
};

TEST(ResponseFormatterTest, ShowsEachAnswerAsText) {
  const std::vector<Case> cases = {
      {"clean file",
       {{"command", "scan"}, {"path", "/srv/a.txt"}},
       {{"command", "scan"},
        {"files_scanned", 1},
        {"message", "El archivo está limpio."},
        {"path", "/srv/a.txt"},
        {"result", "CLEAN"},
        {"scan_type", "file"},
        {"status", "ok"},
        {"threats_found", 0}},
       "/srv/a.txt: OK\n\nEl archivo está limpio.\nArchivos escaneados: 1  Amenazas: 0\n",
       ""},
      {"infected file",
       {{"command", "scan"}, {"path", "/srv/e.com"}},
       {{"command", "scan"},
        {"files_scanned", 1},
        {"message", "¡AMENAZA DETECTADA!"},
        {"path", "/srv/e.com"},
        {"result", "INFECTED"},
        {"scan_type", "file"},
        {"status", "ok"},
        {"threat_name", "EICAR, Test_Rule"},
        {"threats_found", 1}},
       "/srv/e.com: EICAR, Test_Rule FOUND\n\n¡AMENAZA DETECTADA!\n"
       "Archivos escaneados: 1  Amenazas: 1\n",
       ""},
      {"skipped file",
       {{"command", "scan"}, {"path", "/srv/x"}},
       {{"command", "scan"},
        {"files_scanned", 1},
        {"message", "Archivo omitido: Excluded by user"},
        {"path", "/srv/x"},
        {"result", "SKIPPED"},
        {"scan_type", "file"},
        {"status", "ok"},
        {"threats_found", 0}},
       "/srv/x: SKIPPED (Excluded by user)\n\nArchivo omitido: Excluded by user\n"
       "Archivos escaneados: 1  Amenazas: 0\n",
       ""},
      {"directory: one line per infected file, the path may hold parentheses",
       {{"command", "scan"}, {"path", "/d"}},
       {{"command", "scan"},
        {"files_scanned", 3},
        {"infected_files", {"/d/a (R1)", "/d/copia (2).exe (R2, R3)"}},
        {"message", "Se detectaron 2 amenaza(s) en 3 archivo(s) escaneado(s)."},
        {"path", "/d"},
        {"result", "INFECTED"},
        {"scan_type", "directory"},
        {"status", "ok"},
        {"threats_found", 2}},
       "/d/a: R1 FOUND\n/d/copia (2).exe: R2, R3 FOUND\n\n"
       "Se detectaron 2 amenaza(s) en 3 archivo(s) escaneado(s).\n"
       "Archivos escaneados: 3  Amenazas: 2\n",
       ""},
      {"real-time threat quarantined",
       {{"command", "scan_realtime"}, {"path", "/tmp/x"}},
       {{"command", "scan_realtime"},
        {"quarantine_id", "abc"},
        {"quarantined", true},
        {"status", "threat"},
        {"threat", "R1"}},
       "/tmp/x: R1 FOUND\nEn cuarentena: abc\n",
       ""},
      {"real-time clean",
       {{"command", "scan_realtime"}, {"path", "/tmp/x"}},
       {{"command", "scan_realtime"},
        {"quarantined", false},
        {"status", "clean"},
        {"threat", nullptr}},
       "/tmp/x: OK\n",
       ""},
      {"error goes to the error stream",
       {{"command", "scan"}, {"path", "/nope"}},
       {{"error", "La ruta no existe: /nope"}, {"status", "error"}},
       "",
       "Error: La ruta no existe: /nope\n"},
      {"list as an aligned table, columns counted in characters",
       {{"command", "list_exclusions"}},
       {{"command", "list_exclusions"},
        {"count", 2},
        {"exclusions",
         {{{"description", "compilación"}, {"type", "path"}, {"value", "\\srv\\build"}},
          {{"description", ""}, {"type", "extension"}, {"value", ".iso"}}}},
        {"status", "ok"}},
       "TYPE       VALUE       DESCRIPTION\n"
       "path       \\srv\\build  compilación\n"
       "extension  .iso\n"
       "Total: 2\n",
       ""},
      {"empty list",
       {{"command", "list_quarantine"}},
       {{"command", "list_quarantine"}, {"count", 0}, {"items", Json::array()}, {"status", "ok"}},
       "(ninguno)\n",
       ""},
      {"other answers: the message, then the members",
       {{"command", "add_schedule"}},
       {{"command", "add_schedule"},
        {"message", "Tarea programada agregada exitosamente"},
        {"status", "ok"},
        {"task_id", "t-1"}},
       "Tarea programada agregada exitosamente\ntask_id: t-1\n",
       ""},
      {"members aligned, an empty value without trailing blanks",
       {{"command", "status"}},
       {{"command", "status"},
        {"engine_ready", true},
        {"last_threat_name", ""},
        {"rules_loaded", 12},
        {"status", "ok"}},
       "engine_ready:     true\nlast_threat_name:\nrules_loaded:     12\n",
       ""},
  };
  for (const Case& c : cases) {
    ResponseFormatter::Text text = ResponseFormatter::format(c.request, c.response);
    EXPECT_EQ(text.out, c.out) << c.name;
    EXPECT_EQ(text.err, c.err) << c.name;
  }
}

}  // namespace
}  // namespace norvid
