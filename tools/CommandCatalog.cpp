#include "tools/CommandCatalog.hpp"

#include <algorithm>
#include <sstream>

namespace norvid {
namespace {

using Member = CommandCatalog::Member;

Member required(std::string name) { return Member{std::move(name), true, ""}; }
Member optional(std::string name, std::string fallback) {
  return Member{std::move(name), false, std::move(fallback)};
}

}  // namespace

const std::vector<CommandCatalog::Command>& CommandCatalog::commands() {
  static const std::vector<Command> table = {
      {"status", {}, false, "Estado del servicio, del motor y contadores", "status"},
      {"scan",
       {required("path")},
       false,
       "Escanea un archivo o un directorio (recursivo)",
       "scan path=/home/ana/Descargas"},
      {"scan_realtime",
       {required("path"), optional("program_start", "false")},
       false,
       "Escanea un archivo y lo pone en cuarentena si está infectado",
       "scan_realtime path=/tmp/setup.sh"},
      {"scan_amsi",
       {required("content"), optional("content_name", "unknown_script")},
       false,
       "Escanea un texto de script enviado en la petición",
       "scan_amsi content='echo hola' content_name=hola.sh"},
      {"quarantine_file",
       {required("path"), required("threat_name")},
       false,
       "Mueve un archivo a la cuarentena",
       "quarantine_file path=/tmp/x.exe threat_name=Manual"},
      {"list_quarantine", {}, false, "Lista los archivos en cuarentena", "list_quarantine"},
      {"restore_quarantine",
       {required("id")},
       true,
       "Restaura un archivo de la cuarentena con su dueño original",
       "restore_quarantine id=0a1b2c3d-..."},
      {"delete_quarantine",
       {required("id")},
       true,
       "Elimina un archivo de la cuarentena",
       "delete_quarantine id=0a1b2c3d-..."},
      {"add_exclusion",
       {required("path"), optional("description", "")},
       true,
       "Agrega una exclusión (ruta, *.ext, hash: o pattern:)",
       "add_exclusion path=/srv/build description='salida de compilación'"},
      {"remove_exclusion",
       {required("path")},
       true,
       "Elimina una exclusión",
       "remove_exclusion path=/srv/build"},
      {"list_exclusions", {}, false, "Lista las exclusiones", "list_exclusions"},
      {"add_schedule",
       {required("frequency"), required("hour"), required("minute"), required("scan_type"),
        optional("scan_paths", "")},
       true,
       "Agrega un escaneo programado (frequency daily o weekly; scan_type quick, full o custom; "
       "scan_paths, una lista de rutas absolutas, se envía con --json)",
       "add_schedule frequency=daily hour=3 minute=30 scan_type=quick"},
      {"remove_schedule",
       {required("task_id")},
       true,
       "Elimina un escaneo programado",
       "remove_schedule task_id=0a1b2c3d-..."},
      {"list_schedules", {}, false, "Lista los escaneos programados", "list_schedules"},
      {"reload_rules", {}, true, "Recarga las reglas YARA sin reiniciar", "reload_rules"},
      {"generate_report",
       {required("path"), optional("scan_type", "manual")},
       false,
       "Escanea un directorio y escribe un informe JSON y HTML",
       "generate_report path=/home"},
      {"list_reports",
       {optional("max_count", "50")},
       false,
       "Lista los informes, el último primero",
       "list_reports max_count=10"},
      {"list_scans",
       {},
       false,
       "Lista los escaneos de directorio en curso con su progreso (los propios, salvo root)",
       "list_scans"},
      {"cancel_scan",
       {required("scan_id")},
       false,
       "Cancela un escaneo en curso (el propio; root y administradores, cualquiera)",
       "cancel_scan scan_id=3"},
      {"subscribe_events",
       {},
       false,
       "Recibe un mensaje JSON por evento mientras la conexión siga abierta (los propios, salvo "
       "root y administradores)",
       "subscribe_events"},
      {"usb_status", {}, false, "Estado del almacenamiento USB", "usb_status"},
      {"usb_enable", {}, true, "Permite el almacenamiento USB", "usb_enable"},
      {"usb_disable", {}, true, "Bloquea el almacenamiento USB", "usb_disable"},
      {"usb_list_devices", {}, false, "Lista los dispositivos USB", "usb_list_devices"},
      {"usb_disable_port",
       {required("device_id")},
       true,
       "Deshabilita un dispositivo USB",
       "usb_disable_port device_id='USB\\VID_0781&PID_5567\\1-2'"},
      {"usb_enable_port",
       {required("device_id")},
       true,
       "Habilita un dispositivo USB",
       "usb_enable_port device_id='USB\\VID_0781&PID_5567\\1-2'"},
  };
  return table;
}

std::optional<CommandCatalog::Command> CommandCatalog::find(const std::string& name) {
  const auto& table = commands();
  auto found = std::find_if(table.begin(), table.end(),
                            [&name](const Command& command) { return command.name == name; });
  if (found == table.end()) return std::nullopt;
  return *found;
}

std::string CommandCatalog::helpText() {
  std::ostringstream text;
  text << "Uso: norvidctl COMMAND [key=value ...] [--raw] [--quiet]\n"
          "     norvidctl scan|generate_report [key=value ...] [--] PATH...\n"
          "     norvidctl --json '{\"command\":\"status\"}'\n"
          "     norvidctl help\n\n"
          "Los valores enteros se envían como números; una ruta relativa se completa con el\n"
          "directorio actual. Salida: 0 nada encontrado, 1 amenaza encontrada, 2 error.\n"
          "--quiet muestra solo las amenazas. En una terminal la respuesta se muestra\n"
          "como texto; --raw, --json o una salida redirigida dan el JSON del servicio.\n"
          "El socket es $NORVID_SOCKET o /run/NorvidCoreService.sock.\n"
          "(admin): solo root y los miembros del grupo norvid-admin.\n\n"
          "Comandos:\n";
  for (const Command& command : commands()) {
    text << "  " << command.name;
    for (const Member& member : command.members) {
      if (member.required) {
        text << ' ' << member.name << "=...";
      } else {
        text << " [" << member.name << '=' << member.fallback << ']';
      }
    }
    if (command.adminOnly) text << "  (admin)";
    text << "\n      " << command.summary << "\n";
  }
  return text.str();
}

}  // namespace norvid
