#include "service/CommandLine.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "service/NorvidCoreServiceImpl.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using platform::Result;
using platform::ServiceManager;

// A service manager whose answers the test scripts.
class FakeServiceManager final : public ServiceManager {
 public:
  int connectResult = 0;
  bool installed = false;
  State state = State::Stopped;
  int createResult = 0;
  int startResult = 0;
  int stopResult = 0;
  int deleteResult = 0;
  int openResult = 0;  // used when installed
  bool stopsWhenAsked = true;
  std::vector<std::string> calls;
  Definition created;

  Result<> connect() override { return answer(connectResult); }
  Result<> openService(const std::string&) override {
    return answer(installed ? openResult : kNotInstalled);
  }
  Result<> createService(const Definition& definition) override {
    calls.push_back("create " + definition.name + " " + definition.executablePath);
    created = definition;
    if (installed) return answer(kAlreadyInstalled);
    if (createResult == 0) installed = true;
    return answer(createResult);
  }
  Result<State> queryState(const std::string&) override { return state; }
  Result<> startService(const std::string&) override {
    calls.push_back("start");
    return answer(startResult);
  }
  Result<> stopService(const std::string&) override {
    calls.push_back("stop");
    if (state == State::Stopped) return answer(kNotActive);
    if (stopsWhenAsked) state = State::Stopped;
    return answer(stopResult);
  }
  Result<> deleteService(const std::string&) override {
    calls.push_back("delete");
    return answer(deleteResult);
  }

 private:
  // A scripted errno as the manager answers it: 0 works, any other code fails with it.
  static Result<> answer(int code) {
    if (code == 0) return {};
    return platform::Failure::ofErrno(code);
  }
};

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

Outcome runVerb(FakeServiceManager& manager, std::vector<std::string> args,
                bool managed = false) {
  std::ostringstream out;
  std::ostringstream err;
  NorvidCoreServiceImpl service(manager, out, err, ServiceConfiguration{});
  CommandLineContext context{out, err, managed, "/opt/norvid/norvid-core",
                             [](bool isManaged) { return isManaged ? 40 : 41; }};
  args.insert(args.begin(), "./norvid-core");
  int code = runCommandLine(args, service, context);
  return {code, out.str(), err.str()};
}

TEST(CommandLineTest, VerbsPrintTheirTextsAndExitCodes) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(FakeServiceManager&)> setup;
    int code;
    const char* out;
    const char* err;
  };
  auto none = [](FakeServiceManager&) {};
  auto installedRunning = [](FakeServiceManager& m) {
    m.installed = true;
    m.state = ServiceManager::State::Running;
  };
  auto installedStopped = [](FakeServiceManager& m) { m.installed = true; };
  const Case cases[] = {
      {"install", {"install"}, none, 0,
       "[*] Instalando servicio...\n[OK] Servicio instalado exitosamente\n", ""},
      {"install slash", {"/install"}, none, 0,
       "[*] Instalando servicio...\n[OK] Servicio instalado exitosamente\n", ""},
      {"install dash", {"-install"}, none, 0,
       "[*] Instalando servicio...\n[OK] Servicio instalado exitosamente\n", ""},
      {"install twice", {"install"}, installedStopped, 1,
       "[*] Instalando servicio...\n[INFO] El servicio ya está instalado\n", ""},
      {"install no manager", {"install"}, [](FakeServiceManager& m) { m.connectResult = 13; }, 1,
       "[*] Instalando servicio...\n", "[ERROR] No se pudo abrir SCM. Error: 13\n"},
      {"install fails", {"install"}, [](FakeServiceManager& m) { m.createResult = 30; }, 1,
       "[*] Instalando servicio...\n", "[ERROR] No se pudo crear servicio. Error: 30\n"},
      {"upper case", {"INSTALL"}, none, 1,
       "Uso: ./norvid-core [install|uninstall|start|stop|status]\n", ""},
      {"start running", {"start"}, installedRunning, 0,
       "[*] Iniciando servicio...\n[INFO] El servicio ya está corriendo\n", ""},
      {"start", {"start"}, installedStopped, 0,
       "[*] Iniciando servicio...\n[OK] Servicio iniciado exitosamente\n", ""},
      {"start missing", {"start"}, none, 1, "[*] Iniciando servicio...\n",
       "[ERROR] Servicio no encontrado\n"},
      {"start fails", {"start"}, [](FakeServiceManager& m) { m.installed = true; m.startResult = 5; },
       1, "[*] Iniciando servicio...\n", "[ERROR] No se pudo iniciar servicio. Error: 5\n"},
      {"stop not running", {"stop"}, installedStopped, 0,
       "[*] Deteniendo servicio...\n[OK] Servicio detenido exitosamente\n", ""},
      {"stop fails", {"-stop"},
       [](FakeServiceManager& m) {
         m.installed = true;
         m.state = ServiceManager::State::Running;
         m.stopResult = 1;
       },
       1, "[*] Deteniendo servicio...\n", "[ERROR] No se pudo detener servicio. Error: 1\n"},
      {"open fails", {"stop"}, [](FakeServiceManager& m) { m.installed = true; m.openResult = 13; },
       1, "[*] Deteniendo servicio...\n",
       "[ERROR] No se pudo abrir servicio. Error: 13\n[ERROR] Servicio no encontrado\n"},
      {"uninstall running", {"uninstall"}, installedRunning, 0,
       "[*] Desinstalando servicio...\n[*] Deteniendo servicio...\n"
       "[OK] Servicio desinstalado exitosamente\n",
       ""},
      {"uninstall fails", {"uninstall"},
       [](FakeServiceManager& m) { m.installed = true; m.deleteResult = 16; }, 1,
       "[*] Desinstalando servicio...\n", "[ERROR] No se pudo eliminar servicio. Error: 16\n"},
      {"status missing", {"status"}, none, 0,
       "[*] Estado del servicio:\n  Instalado: NO\n  Corriendo: NO\n", ""},
      {"status running", {"/status"}, installedRunning, 0,
       "[*] Estado del servicio:\n  Instalado: SÍ\n  Corriendo: SÍ\n", ""},
      {"no argument outside the manager", {}, none, 1, "",
       "[ERROR] Este programa debe ejecutarse como servicio o con argumentos "
       "(install/uninstall/start/stop)\n"},
      {"run", {"run"}, none, 41, "", ""},
      {"run dash", {"-run"}, none, 41, "", ""},
  };
  for (const Case& c : cases) {
    FakeServiceManager manager;
    c.setup(manager);
    Outcome outcome = runVerb(manager, c.args);
    EXPECT_EQ(outcome.code, c.code) << c.name;
    EXPECT_EQ(outcome.out, c.out) << c.name;
    EXPECT_EQ(outcome.err, c.err) << c.name;
  }
}

TEST(CommandLineTest, InstallPassesTheExecutablePathAndNoArgumentRunsTheManagedService) {
  FakeServiceManager manager;
  runVerb(manager, {"install"});
  ASSERT_EQ(manager.calls.size(), 1u);
  EXPECT_EQ(manager.calls[0], "create NorvidCoreService /opt/norvid/norvid-core");
  EXPECT_EQ(runVerb(manager, {}, true).code, 40);
}

TEST(CommandLineTest, InstallWritesThePackagedUnitsWithThisProgramAsExecStart) {
  FakeServiceManager manager;
  runVerb(manager, {"install"});
  const std::string source = std::string(NORVID_SOURCE_DIR) + "/packaging/systemd/";
  std::string service = testing::readFile(source + "NorvidCoreService.service");
  const std::string packaged = "ExecStart=/usr/lib/norvid/norvid-core\n";
  ASSERT_NE(service.find(packaged), std::string::npos);
  service.replace(service.find(packaged), packaged.size(),
                  "ExecStart=/opt/norvid/norvid-core\n");

  const auto& files = manager.created.unitFiles;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "NorvidCoreService.service");
  EXPECT_EQ(files[0].text, service);
  EXPECT_EQ(files[1].name, "NorvidCoreService.socket");
  EXPECT_EQ(files[1].text, testing::readFile(source + "NorvidCoreService.socket"));
}

TEST(CommandLineTest, UninstallStillDeletesAServiceThatDoesNotStop) {
  FakeServiceManager manager;
  manager.installed = true;
  manager.state = ServiceManager::State::Running;
  manager.stopsWhenAsked = false;
  Outcome outcome = runVerb(manager, {"uninstall"});  // waits the ten seconds
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(manager.calls.back(), "delete");
}

TEST(NorvidCoreServiceImplTest, RunServesUntilStopAndReportsATransportFailure) {
  testing::EventLogCapture::instance();
  testing::TempDir root;
  ServiceConfiguration paths{root.str() + "/exe", root.str() + "/data", root.str() + "/svc.sock", root.str(),
                    root.str()};
  FakeServiceManager manager;
  std::ostringstream out;
  std::ostringstream err;
  {
    NorvidCoreServiceImpl service(manager, out, err, paths);
    std::thread stopper([&service] { service.requestStop(); });
    service.run();
    stopper.join();
    EXPECT_FALSE(service.transportFailed());
  }
  EXPECT_EQ(out.str(), "[ZR5K] Deteniendo IPC Server...\n");

  ServiceConfiguration broken = paths;
  broken.socketPath = root.str() + "/missing-dir/svc.sock";
  NorvidCoreServiceImpl failing(manager, out, err, broken);
  failing.run();
  EXPECT_TRUE(failing.transportFailed());
}

}  // namespace
}  // namespace norvid
