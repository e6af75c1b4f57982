#include "service/CommandLine.hpp"

namespace norvid {
namespace {

// "install", "/install" and "-install" are the same verb; letter case counts.
std::string verbOf(const std::string& argument) {
  if (!argument.empty() && (argument[0] == '/' || argument[0] == '-')) return argument.substr(1);
  return argument;
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args, avwindows::AVService& service,
                   CommandLineContext& context) {
  if (args.size() < 2) {
    if (!context.startedByServiceManager) {
      context.err << "[ERROR] Este programa debe ejecutarse como servicio o con argumentos "
                     "(install/uninstall/start/stop)"
                  << std::endl;
      return 1;
    }
    return context.runService(true);
  }

  const std::string verb = verbOf(args[1]);
  if (verb == "install") {
    context.out << "[*] Instalando servicio..." << std::endl;
    return service.install(context.executablePath) ? 0 : 1;
  }
  if (verb == "uninstall") {
    context.out << "[*] Desinstalando servicio..." << std::endl;
    return service.uninstall() ? 0 : 1;
  }
  if (verb == "start") {
    context.out << "[*] Iniciando servicio..." << std::endl;
    return service.startService() ? 0 : 1;
  }
  if (verb == "stop") {
    context.out << "[*] Deteniendo servicio..." << std::endl;
    return service.stopService() ? 0 : 1;
  }
  if (verb == "status") {
    context.out << "[*] Estado del servicio:" << std::endl;
    context.out << "  Instalado: " << (service.isInstalled() ? "SÍ" : "NO") << std::endl;
    context.out << "  Corriendo: " << (service.isRunning() ? "SÍ" : "NO") << std::endl;
    return 0;
  }
  if (verb == "run") return context.runService(false);

  context.out << "Uso: " << args[0] << " [install|uninstall|start|stop|status]" << std::endl;
  return 1;
}

}  // namespace norvid
