#include "engine/Scanner.hpp"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/ArchiveBombException.hpp"
#include "engine/ExtractionDirectory.hpp"
#include "engine/YaraEngine.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "platform/FileHandle.hpp"
#include "platform/FsCredentialsGuard.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

// Each console line is written in one piece so that lines of concurrent scans do not interleave.
void printLine(std::ostream& stream, const std::string& text) { stream << (text + "\n"); }

std::string joinMatches(const std::vector<std::string>& matches) {
  std::string joined;
  for (const std::string& name : matches) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

// An extracted member is scanned only when it is a regular file itself (not a link, device or
// FIFO) and resolves to a place inside its extraction directory.
bool isScannableMember(const std::string& member, const fs::path& canonicalRoot) {
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(member, error)) || error) return false;
  fs::path resolved = fs::canonical(member, error);
  if (error) return false;
  auto [rootEnd, resolvedAt] =
      std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), resolved.begin(), resolved.end());
  return rootEnd == canonicalRoot.end() && resolvedAt != resolved.end();
}

}  // namespace

Scanner::Scanner(YaraEngine* engine, bool scanArchives, bool heuristicsEnabled,
                 ExclusionsManager* exclusions)
    : engine_(engine),
      scanArchives_(scanArchives),
      heuristicsEnabled_(heuristicsEnabled),
      extractor_(ArchiveLimits{kMaxArchiveDepth, 1000, 524'288'000, 100.0}),
      exclusions_(exclusions) {}

ScanResult Scanner::scanFile(const std::string& path, std::int32_t depth,
                             const std::string& container) {
  return scanFileWithin(path, depth, container, nullptr);
}

ScanResult Scanner::scanFileWithin(const std::string& path, std::int32_t depth,
                                   const std::string& container, ExtractionBudget* budget) {
  try {
    return examineFile(path, depth, container, budget);
  } catch (const fs::filesystem_error& error) {
    return {path, ScanStatus::ERROR, std::string("Filesystem error: ") + error.what(), depth,
            container};
  } catch (const std::exception& error) {
    return {path, ScanStatus::ERROR, std::string("Error: ") + error.what(), depth, container};
  } catch (...) {
    return {path, ScanStatus::ERROR, "Error: unknown exception", depth, container};
  }
}

ScanResult Scanner::examineFile(const std::string& path, std::int32_t depth,
                                const std::string& container, ExtractionBudget* budget) {
  // Archive members are never followed through a link; a file named by the caller may be.
  fs::file_status status = depth > 0 ? fs::symlink_status(path) : fs::status(path);
  if (!fs::exists(status))
    return {path, ScanStatus::ERROR, "File does not exist", depth, container};
  if (!fs::is_regular_file(status)) {
    return {path, ScanStatus::SKIPPED, "Not a regular file", depth, container};
  }
  if (exclusions_ != nullptr && exclusions_->isExcluded(path, "")) {
    printLine(std::cout, "[INFO] Archivo excluido de escaneo: " + path);
    return {path, ScanStatus::SKIPPED, "Excluded by user", depth, container};
  }

  const bool isPe = heuristicsEnabled_ && peAnalyzer_.isPeFile(path);
  std::vector<std::string> matches;
  if (engine_ != nullptr) matches = engine_->scanFile(path);

  ScanResult result{path, ScanStatus::CLEAN, "", depth, container};
  if (!matches.empty()) {
    result.status = ScanStatus::INFECTED;
    result.threat = joinMatches(matches);
    if (isPe) {
      result.peAnalyzed = true;
      result.pe = peAnalyzer_.analyze(path);
    }
    return result;
  }

  if (scanArchives_ && depth < extractor_.limits().maxDepth && extractor_.isArchive(path)) {
    if (scanArchiveMembers(path, depth, result, budget)) return result;
  }

  if (isPe) {
    printLine(std::cout, "[INFO] Ejecutable PE detectado, realizando análisis heurístico...");
    result.peAnalyzed = true;
    result.pe = peAnalyzer_.analyze(path);
    if (result.pe.riskLevel >= 3) {
      printLine(std::cout,
                "[WARN] Análisis heurístico: Comportamiento sospechoso detectado (score: " +
                    std::to_string(result.pe.score) + "/100)");
    }
  }
  return result;
}

// Scans the members of an archive. True when that decided the verdict (a member matched, or
// the archive is a bomb) and `result` holds it; false when the file is to be judged as an
// ordinary file (clean members, or an archive that could not be opened).
// All nesting levels below one top-level file share that file's extraction budget: once a
// member's extraction exhausted it, every archive up to the top-level file is a bomb.
bool Scanner::scanArchiveMembers(const std::string& path, std::int32_t depth, ScanResult& result,
                                 ExtractionBudget* budget) {
  printLine(std::cout, "[INFO] Archivo comprimido detectado: " + path + " (profundidad " +
                           std::to_string(depth) + ")");
  try {
    // The archive is opened with the rights of the scan's caller; what is read from then on comes
    // from that descriptor.
    std::string error;
    const platform::FileHandle file =
        platform::FileHandle::openForReading(fs::canonical(path).string(), &error);
    const auto status = file.status(&error);
    if (!status) throw std::runtime_error("Failed to open archive: " + error);
    std::optional<ExtractionBudget> ownBudget;
    if (budget == nullptr) {
      budget = &ownBudget.emplace(ExtractionBudget::forTopLevelFile(status->size));
    }
    // The extraction directory and its members are the service's own files, written and read as
    // the service even while the scan runs for a caller with fewer rights.
    platform::FsCredentialsGuard asService(CallerIdentity::service());
    ExtractionDirectory directory(extractor_, extractor_.createTempDirectory());
    std::vector<std::string> members =
        extractor_.extract(file.descriptor(), path, directory.path(), *budget);
    const fs::path canonicalRoot = fs::canonical(directory.path());
    for (const std::string& member : members) {
      if (!isScannableMember(member, canonicalRoot)) continue;
      ScanResult inner = scanFileWithin(member, depth + 1, path, budget);
      if (inner.status == ScanStatus::INFECTED) {
        result.status = ScanStatus::INFECTED;
        result.threat = "Contains: " + inner.threat;
        return true;
      }
      if (budget->exhausted()) {
        throw avwindows::ArchiveBombException(ExtractionBudget::exhaustedMessage());
      }
    }
  } catch (const avwindows::ArchiveBombException& error) {
    printLine(std::cerr, std::string("[WARN] Zip bomb detectado: ") + error.what());
    result.status = ScanStatus::SKIPPED;
    result.threat = "Zip bomb detected";
    return true;
  } catch (const std::exception& error) {
    printLine(std::cerr,
              std::string("[WARN] Error al procesar archivo comprimido: ") + error.what());
  }
  return false;
}

DirectoryScanResult Scanner::scanDirectory(const std::string& path, bool recursive) {
  DirectoryScanResult results;
  auto visit = [&](const fs::directory_entry& entry) {
    // An entry whose type cannot be read is handed to scanFile, which reports the failure for
    // that one file; the walk goes on.
    std::error_code error;
    const bool regular = entry.is_regular_file(error);
    if (regular || error) results.push_back(scanFile(entry.path().string(), 0, ""));
  };
  try {
    const fs::file_status status = fs::status(path);
    if (!fs::exists(status)) {
      results.push_back({path, ScanStatus::ERROR, "Directory does not exist", 0, ""});
      return results;
    }
    if (!fs::is_directory(status)) {
      results.push_back({path, ScanStatus::ERROR, "Not a directory", 0, ""});
      return results;
    }
    const auto options = fs::directory_options::skip_permission_denied;
    if (recursive) {
      for (const fs::directory_entry& entry : fs::recursive_directory_iterator(path, options)) {
        visit(entry);
      }
    } else {
      for (const fs::directory_entry& entry : fs::directory_iterator(path, options)) {
        visit(entry);
      }
    }
  } catch (const fs::filesystem_error& error) {
    printLine(std::cerr, std::string("Error al recorrer directorio: ") + error.what());
    results.push_back(
        {path, ScanStatus::ERROR, std::string("Filesystem error: ") + error.what(), 0, ""});
  } catch (const std::exception& error) {
    printLine(std::cerr, std::string("Error inesperado: ") + error.what());
    results.push_back({path, ScanStatus::ERROR, std::string("Error: ") + error.what(), 0, ""});
  }
  return results;
}

}  // namespace norvid
