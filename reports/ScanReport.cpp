#include "reports/ScanReport.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <locale>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>
#include <system_error>

#include "platform/AtomicFile.hpp"
#include "platform/DiskSpace.hpp"
#include "platform/FileAccess.hpp"
#include "platform/LocalTime.hpp"
#include "platform/NewFile.hpp"

namespace norvid {
namespace {

constexpr const char* kTimePattern = "%Y-%m-%d %H:%M:%S";

// How often saveReports draws a new identifier before giving up on a free report name.
constexpr int kMaxNameAttempts = 64;

constexpr const char* kHtmlHead =
    "<!DOCTYPE html>\n"
    "<html lang=\"es\">\n"
    "<head>\n"
    "<meta charset=\"UTF-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">\n"
    "<title>Norvid Shield - Reporte de Escaneo</title>\n"
    "<style>\n"
    "  :root { --primary: #1a73e8; --success: #34a853; --danger: #ea4335; --warn: #fbbc04; --bg: "
    "#f8f9fa; --card: #fff; --text: #202124; --muted: #5f6368; --border: #dadce0; }\n"
    "  * { margin: 0; padding: 0; box-sizing: border-box; }\n"
    "  body { font-family: 'Segoe UI', system-ui, sans-serif; background: var(--bg); color: "
    "var(--text); line-height: 1.6; }\n"
    "  .container { max-width: 900px; margin: 0 auto; padding: 30px 20px; }\n"
    "  .header { text-align: center; margin-bottom: 30px; }\n"
    "  .header h1 { font-size: 24px; color: var(--primary); margin-bottom: 4px; }\n"
    "  .header .subtitle { color: var(--muted); font-size: 14px; }\n"
    "  .status-banner { padding: 20px; border-radius: 12px; text-align: center; margin-bottom: "
    "24px; color: #fff; }\n"
    "  .status-banner.success { background: linear-gradient(135deg, #34a853, #1e8e3e); }\n"
    "  .status-banner.danger { background: linear-gradient(135deg, #ea4335, #c5221f); }\n"
    "  .status-banner .icon { font-size: 36px; display: block; margin-bottom: 8px; }\n"
    "  .status-banner .label { font-size: 20px; font-weight: 600; }\n"
    "  .card { background: var(--card); border: 1px solid var(--border); border-radius: 10px; "
    "padding: 20px; margin-bottom: 16px; }\n"
    "  .card h2 { font-size: 16px; color: var(--primary); margin-bottom: 12px; border-bottom: 2px "
    "solid var(--primary); padding-bottom: 6px; }\n"
    "  .stats-grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(160px, 1fr)); "
    "gap: 12px; }\n"
    "  .stat { text-align: center; padding: 14px; border-radius: 8px; background: var(--bg); }\n"
    "  .stat .value { font-size: 28px; font-weight: 700; }\n"
    "  .stat .label { font-size: 12px; color: var(--muted); text-transform: uppercase; "
    "letter-spacing: 0.5px; }\n"
    "  .stat.infected .value { color: var(--danger); }\n"
    "  .stat.clean .value { color: var(--success); }\n"
    "  table { width: 100%; border-collapse: collapse; font-size: 14px; }\n"
    "  th { text-align: left; padding: 8px 12px; background: var(--bg); color: var(--muted); "
    "font-weight: 600; font-size: 12px; text-transform: uppercase; }\n"
    "  td { padding: 8px 12px; border-bottom: 1px solid var(--border); word-break: break-all; }\n"
    "  .tag { display: inline-block; padding: 2px 8px; border-radius: 4px; font-size: 12px; "
    "font-weight: 600; }\n"
    "  .tag-danger { background: #fce8e6; color: var(--danger); }\n"
    "  .tag-warn { background: #fef7e0; color: #e37400; }\n"
    "  .footer { text-align: center; color: var(--muted); font-size: 12px; margin-top: 30px; "
    "padding-top: 16px; border-top: 1px solid var(--border); }\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<div class=\"container\">\n"
    "  <div class=\"header\">\n"
    "    <h1>Norvid Shield</h1>\n"
    "    <div class=\"subtitle\">Reporte de Escaneo</div>\n"
    "  </div>\n";

std::string fixed(double value, int decimals) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.setf(std::ios::fixed);
  out.precision(decimals);
  out << value;
  return out.str();
}

// Length of the well-formed UTF-8 sequence starting at `at`, or 0 when the bytes there are not
// one (stray continuation byte, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// Appends a value escaped for the JSON report. Besides tab, newline, carriage return, quote and
// backslash, the other control bytes and bytes that are not well-formed UTF-8 are written as
// \u00XX (the byte read as Latin-1), so a file name of any bytes still gives a valid JSON file.
void appendJsonEscaped(std::string& out, std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    // Copy the run of bytes that need no escaping in one go.
    std::size_t run = at;
    while (run < text.size()) {
      unsigned char c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c == '"' || c == '\\') break;
      if (c < 0x80) {
        ++run;
        continue;
      }
      std::size_t length = utf8SequenceLength(text, run);
      if (length == 0) break;
      run += length;
    }
    out.append(text.substr(at, run - at));
    if (run == text.size()) break;
    unsigned char c = static_cast<unsigned char>(text[run]);
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default: {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
        out += buffer;
      }
    }
    at = run + 1;
  }
}

void appendHtmlEscaped(std::string& out, std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t special = text.find_first_of("\"&'<>", at);
    if (special == std::string_view::npos) special = text.size();
    out.append(text.substr(at, special - at));
    if (special == text.size()) break;
    switch (text[special]) {
      case '"':
        out += "&quot;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '<':
        out += "&lt;";
        break;
      default:
        out += "&gt;";
        break;
    }
    at = special + 1;
  }
}

// Splits a list entry at its first separator into the file and the text after it; an entry
// without a separator is all file and gets `fallback` as its text.
std::pair<std::string_view, std::string_view> splitEntry(std::string_view entry,
                                                         std::string_view fallback) {
  constexpr std::string_view separator = ScanReport::kSeparator;
  std::size_t at = entry.find(separator);
  if (at == std::string_view::npos) return {entry, fallback};
  return {entry.substr(0, at), entry.substr(at + separator.size())};
}

void appendJsonList(std::string& out, const std::vector<std::string>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    out += "    \"";
    appendJsonEscaped(out, entries[i]);
    out += i + 1 < entries.size() ? "\",\n" : "\"\n";
  }
}

void appendHtmlTable(std::string& out, const char* title, const char* column, const char* tagClass,
                     const char* fallback, const std::vector<std::string>& entries) {
  if (entries.empty()) return;
  out += "  <div class=\"card\">\n    <h2>";
  out += title;
  out += "</h2>\n    <table>\n      <tr><th>Archivo</th><th>";
  out += column;
  out += "</th></tr>\n";
  for (const std::string& entry : entries) {
    auto [file, text] = splitEntry(entry, fallback);
    out += "      <tr><td>";
    appendHtmlEscaped(out, file);
    out += "</td><td><span class=\"tag ";
    out += tagClass;
    out += "\">";
    appendHtmlEscaped(out, text);
    out += "</span></td></tr>\n";
  }
  out += "    </table>\n  </div>\n\n";
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

void ScanReport::begin(const std::string& scanType, const std::string& targetPath) {
  *this = ScanReport();
  scan_id = generateScanId();
  scan_type = scanType;
  target_path = targetPath;
  start_time = platform::formatLocalTime(std::time(nullptr), kTimePattern);
  engine_version = kEngineVersion;
  startTick_ = std::chrono::steady_clock::now();
}

void ScanReport::addResult(const std::string& path, const std::string& status,
                           const std::string& threat) {
  ++files_scanned;
  if (status == "INFECTED") {
    ++threats_found;
    threats.push_back(threat.empty() ? path : path + kSeparator + threat);
  } else if (status == "SKIPPED") {
    ++skipped;
  }
}

void ScanReport::addError(const std::string& path, const std::string& message) {
  ++files_scanned;
  ++errors;
  error_details.push_back(path + kSeparator + message);
}

double ScanReport::finish(std::int64_t rulesLoaded) {
  end_time = platform::formatLocalTime(std::time(nullptr), kTimePattern);
  rules_loaded = rulesLoaded;
  auto elapsed = std::chrono::steady_clock::now() - startTick_;
  duration_seconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
      1e9;
  return duration_seconds;
}

std::string ScanReport::saveReports(const std::string& reportsDir,
                                    const std::string& administratorGroup) {
  // Reports name the files of whoever asked for them: administrators may read them, other users
  // may not.
  std::error_code code;
  std::filesystem::create_directories(reportsDir, code);
  if (code) throw std::filesystem::filesystem_error("create_directories", reportsDir, code);
  const platform::Result<> shared = platform::shareDirectoryWithAdministrators(reportsDir, administratorGroup);
  if (!shared) throw std::runtime_error("No se pudo escribir el reporte: " + shared.message());
  // Reports must not fill the disk the service needs: refuse before anything is written.
  const platform::Result<> room =
      platform::leavesDiskReserve(reportsDir, toJson().size() + toHtml().size());
  if (!room) {
    throw std::runtime_error("Espacio en disco insuficiente para el reporte (" + room.message() +
                             ")");
  }

  // Claim the HTML name first, in one atomic step: a concurrent report that drew the same
  // identifier then sees it taken and draws again. The JSON name is checked as well so that a
  // report whose HTML file was removed by hand is not replaced either.
  std::string base;
  for (int attempt = 1;; ++attempt) {
    base = reportsDir + "/scan-" + scan_id;
    if (!std::filesystem::exists(base + ".json")) {
      const platform::Result<platform::NewFileOutcome> outcome =
          platform::createNewFile(base + ".html");
      if (!outcome)
        throw std::runtime_error("No se pudo escribir el reporte: " + outcome.message());
      if (*outcome == platform::NewFileOutcome::Created) break;
    }
    if (attempt == kMaxNameAttempts) {
      throw std::runtime_error("No hay un nombre libre para el reporte en " + reportsDir);
    }
    scan_id = generateScanId();
  }

  std::string jsonPath = base + ".json";
  std::string htmlPath = base + ".html";
  std::string error;
  if (!writeReport(jsonPath, &error, administratorGroup)) {
    removeQuietly(htmlPath);
    throw std::runtime_error("No se pudo escribir el reporte: " + error);
  }
  if (!writeReport(htmlPath, &error, administratorGroup)) {
    removeQuietly(jsonPath);
    removeQuietly(htmlPath);
    throw std::runtime_error("No se pudo escribir el reporte: " + error);
  }
  return jsonPath;
}

void ScanReport::removeInterruptedSaves(const std::string& reportsDir) {
  namespace fs = std::filesystem;
  platform::removeAtomicWriteLeftoversIn(reportsDir);
  std::error_code code;
  for (fs::directory_iterator it(reportsDir, code), end; !code && it != end; it.increment(code)) {
    const fs::path html = it->path();
    if (html.filename().string().rfind("scan-", 0) != 0 || html.extension() != ".html") continue;
    fs::path json = html;
    json.replace_extension(".json");
    std::error_code ignored;
    if (!fs::exists(json, ignored) && fs::is_regular_file(fs::symlink_status(html, ignored)) &&
        fs::file_size(html, ignored) == 0) {
      fs::remove(html, ignored);
    }
  }
}

bool ScanReport::writeReport(const std::string& path, std::string* error,
                             const std::string& administratorGroup) const {
  std::string extension = lowerCase(std::filesystem::path(path).extension().string());
  bool html = extension == ".html" || extension == ".htm";
  platform::Result<> done = platform::writeFileAtomically(path, html ? toHtml() : toJson(),
                                                          std::filesystem::perms::owner_read |
                                                              std::filesystem::perms::owner_write |
                                                              std::filesystem::perms::group_read);
  if (done) done = platform::shareFileWithAdministrators(path, administratorGroup);
  if (!done && error != nullptr) *error = done.message();
  return done.ok();
}

std::string ScanReport::toJson() const {
  std::string out = "{\n";
  auto text = [&](const char* name, const std::string& value) {
    out += "  \"";
    out += name;
    out += "\": \"";
    appendJsonEscaped(out, value);
    out += "\",\n";
  };
  auto number = [&](const char* name, const std::string& value) {
    out += std::string("  \"") + name + "\": " + value + ",\n";
  };
  text("scan_id", scan_id);
  text("scan_type", scan_type);
  text("target_path", target_path);
  text("start_time", start_time);
  text("end_time", end_time);
  number("duration_seconds", fixed(duration_seconds, 2));
  number("files_scanned", std::to_string(files_scanned));
  number("threats_found", std::to_string(threats_found));
  number("errors", std::to_string(errors));
  number("skipped", std::to_string(skipped));
  number("rules_loaded", std::to_string(rules_loaded));
  text("engine_version", engine_version);
  if (cancelled) out += "  \"cancelled\": true,\n";
  out += "  \"threats\": [\n";
  appendJsonList(out, threats);
  out += "  ],\n";
  out += "  \"error_details\": [\n";
  appendJsonList(out, error_details);
  out += "  ]\n";
  out += "}\n";
  return out;
}

std::string ScanReport::toHtml() const {
  bool infected = threats_found > 0;
  std::string out = kHtmlHead;
  out += infected ? "  <div class=\"status-banner danger\">\n"
                  : "  <div class=\"status-banner success\">\n";
  out += infected ? "    <span class=\"icon\">&#9888;</span>\n"
                  : "    <span class=\"icon\">&#10004;</span>\n";
  out += infected ? "    <span class=\"label\">AMENAZAS DETECTADAS</span>\n"
                  : "    <span class=\"label\">SISTEMA LIMPIO</span>\n";
  out += "  </div>\n\n";
  if (cancelled) {
    out += "  <div class=\"card\"><strong>Escaneo cancelado:</strong> el reporte cubre solo los "
           "archivos escaneados antes de la cancelacion.</div>\n\n";
  }

  auto row = [&](const char* label, const std::string& value, bool escape) {
    out += "      <tr><td><strong>";
    out += label;
    out += "</strong></td><td>";
    if (escape) {
      appendHtmlEscaped(out, value);
    } else {
      out += value;
    }
    out += "</td></tr>\n";
  };
  out += "  <div class=\"card\">\n";
  out += "    <h2>Informacion del Escaneo</h2>\n";
  out += "    <table>\n";
  row("ID", scan_id, true);
  row("Tipo", scan_type, true);
  row("Objetivo", target_path, true);
  row("Inicio", start_time, true);
  row("Fin", end_time, true);
  row("Duracion", fixed(duration_seconds, 1) + " segundos", false);
  row("Reglas cargadas", std::to_string(rules_loaded), false);
  row("Version del motor", engine_version, true);
  out += "    </table>\n";
  out += "  </div>\n\n";

  auto tile = [&](const char* classes, std::int64_t value, const char* label) {
    out += std::string("      <div class=\"") + classes + "\"><div class=\"value\">" +
           std::to_string(value) + "</div><div class=\"label\">" + label + "</div></div>\n";
  };
  std::int64_t clean = static_cast<std::int64_t>(files_scanned) - skipped - errors - threats_found;
  out += "  <div class=\"card\">\n";
  out += "    <h2>Resultados</h2>\n";
  out += "    <div class=\"stats-grid\">\n";
  tile("stat", files_scanned, "Archivos escaneados");
  tile(infected ? "stat infected" : "stat clean", threats_found, "Amenazas");
  tile("stat clean", clean, "Limpios");
  tile("stat", errors, "Errores");
  out += "    </div>\n";
  out += "  </div>\n\n";

  appendHtmlTable(out, "Amenazas Detectadas", "Amenaza", "tag-danger", "Desconocida", threats);
  appendHtmlTable(out, "Errores", "Error", "tag-warn", "Error desconocido", error_details);

  out += "  <div class=\"footer\">Generado por Norvid Shield v";
  out += engine_version;
  out += " &mdash; ";
  appendHtmlEscaped(out, end_time);
  out += "</div>\n";
  out += "</div>\n";
  out += "</body>\n";
  out += "</html>\n";
  return out;
}

std::string ScanReport::generateScanId() {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  std::random_device source;
  std::mt19937 generator(source());
  std::uniform_int_distribution<int> number(1000, 9999);
  return std::to_string(seconds) + "-" + std::to_string(number(generator));
}

}  // namespace norvid
