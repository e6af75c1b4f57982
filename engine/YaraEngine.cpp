#include "engine/YaraEngine.hpp"

#include <yara.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "engine/RuleSplitter.hpp"
#include "engine/YaraCompiler.hpp"
#include "engine/YaraLoadTrace.hpp"
#include "logging/EventLogger.hpp"
#include "platform/MappedRegion.hpp"
#include "platform/ScanIo.hpp"
#include "platform/UserNames.hpp"

namespace norvid {
namespace {

// Only matching rules come back to the callback: without the flag libyara also calls it once for
// every rule that did not match, thousands of calls per file with a large rule set.
constexpr int kScanFlags = SCAN_FLAGS_FAST_MODE | SCAN_FLAGS_REPORT_RULES_MATCHING;

namespace fs = std::filesystem;

// Scanners kept per rule set for reuse: as many as scans run at once in practice.
constexpr std::size_t kMaxIdleScanners = 64;

struct RuleSource {
  std::string path;
  std::uint64_t size = 0;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OpenFile = std::unique_ptr<std::FILE, FileCloser>;

// Compiler diagnostics continue the "[YARA] Compilando:" line of the source being added.
void onCompilerDiagnostic(int errorLevel, const char* fileName, int lineNumber,
                          const YR_RULE* /*rule*/, const char* message, void* userData) {
  auto* trace = static_cast<YaraLoadTrace*>(userData);
  if (trace == nullptr) return;
  try {
    trace->line(std::string("  [") + (errorLevel == 0 ? "ERROR" : "WARN") + "] " +
                (fileName != nullptr ? fileName : "?") + ":" + std::to_string(lineNumber) + " - " +
                (message != nullptr ? message : ""));
  } catch (...) {
    // A diagnostic that cannot be written must not unwind through libyara.
  }
}

int onScanMessage(YR_SCAN_CONTEXT* /*context*/, int message, void* messageData, void* userData) {
  if (message == CALLBACK_MSG_RULE_MATCHING) {
    const auto* rule = static_cast<const YR_RULE*>(messageData);
    if (rule != nullptr && rule->identifier != nullptr) {
      try {
        static_cast<std::vector<std::string>*>(userData)->emplace_back(rule->identifier);
      } catch (const std::bad_alloc&) {
        return CALLBACK_ERROR;
      }
    }
  }
  return CALLBACK_CONTINUE;
}

// Adds one source file to the compiler; returns libyara's error count, or -1 when the file
// cannot be opened.
int addSource(YaraCompiler& compiler, const std::string& path, const char* nameSpace = nullptr) {
  OpenFile file(std::fopen(path.c_str(), "r"));
  if (!file) return -1;
  return yr_compiler_add_file(compiler.get(), file.get(), nameSpace, path.c_str());
}

std::string fileNameOf(const fs::path& path) { return path.filename().string(); }

// Compiles one planned set; empty when any piece of it does not compile. Feeds (in a namespace of
// their own) refuse includes.
YaraRules compileVariant(const RuleSplitter::Variant& variant, const char* nameSpace) {
  int code = 0;
  YaraCompiler compiler = YaraCompiler::create(code);
  if (!compiler) return {};
  if (nameSpace != nullptr) {
    yr_compiler_set_include_callback(compiler.get(), nullptr, nullptr, nullptr);
  }
  for (const RuleSplitter::Chunk& chunk : variant.chunks) {
    const int errors = chunk.text.empty()
                           ? addSource(compiler, chunk.path, nameSpace)
                           : yr_compiler_add_string(compiler.get(), chunk.text.c_str(), nameSpace);
    if (errors != 0) return {};
  }
  YR_RULES* rules = nullptr;
  if (yr_compiler_get_rules(compiler.get(), &rules) != ERROR_SUCCESS) return {};
  return YaraRules(rules);
}

// "MZ" for 0x5A4D; other bytes in hexadecimal.
std::string leadingBytesName(std::uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF),
                                  static_cast<unsigned char>(value >> 8)};
  std::string name;
  for (unsigned char byte : bytes) {
    if (byte > 0x20 && byte < 0x7F) {
      name += static_cast<char>(byte);
    } else {
      static const char kDigits[] = "0123456789ABCDEF";
      name += std::string("\\x") + kDigits[byte >> 4] + kDigits[byte & 0xF];
    }
  }
  return name;
}

// The path the user knows the scanned file by (an archive member's is below its archive).
std::string shownPathOf(const ScanVariables& variables, const std::string& label) {
  if (variables.filename.empty()) return label;
  if (variables.filepath.empty()) return variables.filename;
  if (variables.filepath == "/") return "/" + variables.filename;
  return variables.filepath + "/" + variables.filename;
}

}  // namespace

YaraEngine::YaraEngine(std::string traceDirectory) : traceDirectory_(std::move(traceDirectory)) {}

YaraEngine::~YaraEngine() { unload(); }

bool YaraEngine::initialize() {
  if (initialized_) return true;
  int code = yr_initialize();
  if (code == ERROR_SUCCESS) {
    initialized_ = true;
    return true;
  }
  lastError_ = "Error al inicializar YARA: código " + std::to_string(code);
  std::cerr << lastError_ << "\n";
  return false;
}

void YaraEngine::unload() {
  destroyIdleScanners();
  loadedSets_.clear();
  ruleSets_.clear();
  hashes_ = HashSignatures(kMaxScanBytes);
  allowList_ = AllowList();
  totalRules_ = 0;
  if (initialized_) {
    yr_finalize();
    initialized_ = false;
  }
}

std::string YaraEngine::tracePath() const { return traceDirectory_ + "/yara_load.log"; }

std::int32_t YaraEngine::getTotalRules() const { return static_cast<std::int32_t>(totalRules_); }

bool YaraEngine::hasRuleSets() const { return !loadedSets_.empty(); }

void YaraEngine::appendRuleSet(YaraRules rules) {
  totalRules_ += rules.ruleCount();
  loadedSets_.push_back({ruleSets_.size(), {}});
  ruleSets_.push_back(std::move(rules));
}

std::optional<RuleSplitter::Plan> YaraEngine::planSplit(
    const std::vector<std::string>& files) const {
  if (!splitByLeadingBytes_ || files.empty()) return std::nullopt;
  try {
    return RuleSplitter::plan(files);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void YaraEngine::appendFolderRules(YaraRules whole, const std::optional<RuleSplitter::Plan>& plan,
                                   const char* nameSpace, YaraLoadTrace& trace) {
  if (!plan || !plan->splits()) return appendRuleSet(std::move(whole));
  const std::vector<RuleSplitter::Variant>& variants = plan->variants;
  // The whole set serves the largest group: the other groups' rules it also holds can never
  // match a file of that kind, and it is compiled already. The others compile from the plan, one
  // thread each.
  std::size_t largest = 1;
  for (std::size_t i = 2; i < variants.size(); ++i) {
    if (variants[i].rules > variants[largest].rules) largest = i;
  }
  std::vector<YaraRules> compiled(variants.size());
  {
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < variants.size(); ++i) {
      if (i == largest) continue;
      workers.emplace_back([&, i] { compiled[i] = compileVariant(variants[i], nameSpace); });
    }
    for (std::thread& worker : workers) worker.join();
  }
  // Every set must hold exactly its planned rules plus those of the files added whole.
  bool planned = true;
  std::uint32_t wholeFileRules = 0;
  for (std::size_t i = 0; planned && i < variants.size(); ++i) {
    if (i == largest) continue;
    if (!compiled[i]) {
      planned = false;
    } else {
      if (i == 0) wholeFileRules = compiled[0].ruleCount() - variants[0].rules;
      planned = compiled[i].ruleCount() == variants[i].rules + wholeFileRules;
    }
  }
  if (!planned || whole.ruleCount() != plan->parsedRules + wholeFileRules) {
    trace.line(
        "[YARA] División por tipo de archivo descartada: un conjunto no compiló como se "
        "esperaba");
    return appendRuleSet(std::move(whole));
  }

  std::string line =
      "[YARA] División por tipo de archivo: any " + std::to_string(variants[0].rules) + " reglas";
  LoadedSet loaded;
  totalRules_ += whole.ruleCount();
  compiled[largest] = std::move(whole);
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) {
      const std::uint16_t key = *variants[i].leadingBytes;
      line += ", " + leadingBytesName(key) + " " +
              std::to_string(variants[i].rules - variants[0].rules) + " reglas";
      loaded.byLeadingBytes.emplace_back(key, ruleSets_.size());
    } else {
      loaded.anyIndex = ruleSets_.size();
    }
    ruleSets_.push_back(std::move(compiled[i]));
  }
  if (!plan->wholeFiles.empty()) {
    line += ", " + std::to_string(plan->wholeFiles.size()) + " archivos en todos los conjuntos";
  }
  trace.line(line);
  for (const auto& [module, count] : plan->anyRulesByModule) {
    trace.line("[YARA]   Reglas de any que usan " + module + ": " + std::to_string(count));
  }
  std::sort(loaded.byLeadingBytes.begin(), loaded.byLeadingBytes.end());
  loadedSets_.push_back(std::move(loaded));
}

std::size_t YaraEngine::ruleSetFor(const LoadedSet& loaded,
                                   std::optional<std::uint16_t> leadingBytes) const {
  if (!leadingBytes || loaded.byLeadingBytes.empty()) return loaded.anyIndex;
  const auto found =
      std::lower_bound(loaded.byLeadingBytes.begin(), loaded.byLeadingBytes.end(),
                       std::make_pair(*leadingBytes, std::size_t{0}),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
  if (found == loaded.byLeadingBytes.end() || found->first != *leadingBytes) {
    return loaded.anyIndex;
  }
  return found->second;
}

bool YaraEngine::failLoad(YaraLoadTrace& trace, std::string message) {
  lastError_ = std::move(message);
  trace.line("[YARA] FATAL: " + lastError_);
  return false;
}

bool YaraEngine::loadRulesFromDirectory(const std::string& directory) {
  std::error_code ignored;
  fs::create_directories(traceDirectory_, ignored);
  YaraLoadTrace trace(tracePath());
  trace.line("[YARA] loadRulesFromDirectory: " + directory);

  if (!initialized_) return failLoad(trace, "YARA no inicializado");
  if (!fs::is_directory(directory)) return failLoad(trace, "Directorio no existe: " + directory);
  trace.line("[YARA] Directorio OK");

  int code = 0;
  YaraCompiler compiler = YaraCompiler::create(code);
  if (!compiler) return failLoad(trace, "Error yr_compiler_create: " + std::to_string(code));
  yr_compiler_set_callback(compiler.get(), onCompilerDiagnostic, &trace);

  std::vector<RuleSource> sources;
  std::vector<std::string> precompiled;
  std::vector<std::string> hashLists;
  try {
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
      if (!entry.is_regular_file()) continue;
      const fs::path& path = entry.path();
      const std::string extension = path.filename().extension().string();
      if (extension == ".yar" || extension == ".yara") {
        std::uint64_t size = entry.file_size();
        trace.line("[YARA] Encontrado .yar: " + fileNameOf(path) + " (" +
                   std::to_string(size / 1024) + " KB)");
        sources.push_back({path.string(), size});
      } else if (HashSignatures::isListName(fileNameOf(path))) {
        trace.line("[YARA] Encontrado hashes: " + fileNameOf(path) + " (" +
                   std::to_string(entry.file_size() / 1024) + " KB)");
        hashLists.push_back(path.string());
      } else if (extension == ".yarc") {
        trace.line("[YARA] Encontrado .yarc: " + fileNameOf(path) + " (" +
                   std::to_string(entry.file_size() / 1024) + " KB)");
        precompiled.push_back(path.string());
      }
    }
  } catch (const std::exception& error) {
    return failLoad(trace, std::string("Error al leer directorio: ") + error.what());
  }

  // Smallest first; equal sizes by path so that a load is reproducible.
  std::sort(sources.begin(), sources.end(), [](const RuleSource& a, const RuleSource& b) {
    return a.size != b.size ? a.size < b.size : a.path < b.path;
  });

  // The rules are analysed for the split while the compiler checks them; the analysis is done
  // again only when some file did not compile.
  std::vector<std::string> candidates;
  for (const RuleSource& source : sources) {
    if (source.size <= kMaxSourceBytes) candidates.push_back(source.path);
  }
  std::future<std::optional<RuleSplitter::Plan>> planning =
      std::async(std::launch::async, [this, &candidates] { return planSplit(candidates); });

  // libyara refuses (by aborting the process) any further source on a compiler that recorded
  // errors, and any request for its rules. After a failing source the compiler is therefore
  // replaced by a fresh one holding again the sources compiled so far, so the good sources
  // still end up together in one rule set.
  std::vector<std::string> compiled;
  std::uint64_t errorSum = 0;
  auto rebuildCompiler = [&]() -> bool {
    for (;;) {
      compiler = YaraCompiler::create(code);
      if (!compiler) return false;
      auto failed = std::find_if(compiled.begin(), compiled.end(), [&](const std::string& path) {
        return addSource(compiler, path) != 0;
      });
      if (failed == compiled.end()) break;
      // The file changed since it compiled; leave it out and start again without it.
      compiled.erase(failed);
    }
    yr_compiler_set_callback(compiler.get(), onCompilerDiagnostic, &trace);
    return true;
  };

  for (const RuleSource& source : sources) {
    trace.partial("[YARA] Compilando: " + source.path);
    if (source.size > kMaxSourceBytes) {
      trace.line(" -> SKIP (>" + std::to_string(kMaxSourceBytes / (1024 * 1024)) +
                 " MB, use .yarc)");
      continue;
    }
    int errors = addSource(compiler, source.path);
    if (errors < 0) {
      trace.line(" -> FOPEN FAILED");
      continue;
    }
    if (errors < 1) {
      trace.line(" -> OK");
      compiled.push_back(source.path);
      continue;
    }
    trace.line(" -> " + std::to_string(errors) + " errores");
    errorSum += static_cast<std::uint64_t>(errors);
    if (!rebuildCompiler()) {
      return failLoad(trace, "Error yr_compiler_create: " + std::to_string(code));
    }
  }

  std::optional<RuleSplitter::Plan> plan = planning.get();
  if (compiled != candidates) plan = planSplit(compiled);
  if (!compiled.empty()) {
    trace.partial("[YARA] yr_compiler_get_rules...");
    YR_RULES* rules = nullptr;
    code = yr_compiler_get_rules(compiler.get(), &rules);
    if (code != ERROR_SUCCESS || rules == nullptr) {
      trace.line(" FAILED (code " + std::to_string(code) + ")");
    } else {
      trace.line(" OK");
      YaraRules owned(rules);
      trace.line("[YARA] Source: " + std::to_string(owned.ruleCount()) + " reglas de " +
                 std::to_string(compiled.size()) + " archivos");
      appendFolderRules(std::move(owned), plan, nullptr, trace);
    }
  }
  compiler = YaraCompiler();

  std::size_t loaded = 0;
  for (const std::string& path : precompiled) {
    trace.partial("[YARA] Cargando .yarc: " + path);
    if (loadCompiledRules(path)) {
      trace.line(" -> OK");
      ++loaded;
    } else {
      trace.line(" -> FAILED: " + lastError_);
    }
  }

  for (const RuleFolder& folder : additionalFolders_) {
    loadAdditionalFolder(trace, folder, hashLists);
  }
  loadHashLists(std::move(hashLists), trace);

  trace.line("[YARA] === Resumen ===");
  trace.line("[YARA]   .yar compilados: " + std::to_string(compiled.size()) + " (" +
             std::to_string(errorSum) + " errores)");
  trace.line("[YARA]   .yarc cargados:  " + std::to_string(loaded));
  trace.line("[YARA]   Total rule sets: " + std::to_string(loadedSets_.size()));
  trace.line("[YARA]   Total reglas:    " + std::to_string(totalRules_));
  if (hashes_.count() > 0) {
    trace.line("[YARA]   Firmas hash:     " + std::to_string(hashes_.count()));
  }

  if (loadedSets_.empty()) return failLoad(trace, "No se cargó ningún conjunto de reglas");
  trace.line("[YARA] EXITO");
  return true;
}

void YaraEngine::loadAdditionalFolder(YaraLoadTrace& trace, const RuleFolder& folder,
                                      std::vector<std::string>& hashLists) {
  trace.line("[YARA] Feed " + folder.nameSpace + ": " + folder.directory);
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(folder.directory, error), end; !error && it != end;
       it.increment(error)) {
    const std::string extension = it->path().extension().string();
    if (!it->is_regular_file()) continue;
    if (extension == ".yar" || extension == ".yara") files.push_back(it->path().string());
    if (HashSignatures::isListName(it->path().filename().string())) {
      hashLists.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  int code = 0;
  std::vector<std::string> accepted;
  auto freshCompiler = [&]() {
    YaraCompiler compiler = YaraCompiler::create(code);
    if (!compiler) return compiler;
    yr_compiler_set_include_callback(compiler.get(), nullptr, nullptr, nullptr);
    for (const std::string& path : accepted) addSource(compiler, path, folder.nameSpace.c_str());
    yr_compiler_set_callback(compiler.get(), onCompilerDiagnostic, &trace);
    return compiler;
  };
  YaraCompiler compiler = freshCompiler();
  for (const std::string& path : files) {
    if (!compiler) break;
    trace.partial("[YARA] Compilando: " + path);
    const int errors = addSource(compiler, path, folder.nameSpace.c_str());
    if (errors == 0) {
      trace.line(" -> OK");
      accepted.push_back(path);
      continue;
    }
    trace.line(errors < 0 ? " -> FOPEN FAILED" : " -> " + std::to_string(errors) + " errores");
    if (errors > 0) compiler = freshCompiler();
  }
  YR_RULES* rules = nullptr;
  if (!compiler || accepted.empty() ||
      yr_compiler_get_rules(compiler.get(), &rules) != ERROR_SUCCESS || rules == nullptr) {
    trace.line("[YARA] Feed " + folder.nameSpace + ": sin reglas");
    return;
  }
  YaraRules owned(rules);
  trace.line("[YARA] Feed " + folder.nameSpace + ": " + std::to_string(owned.ruleCount()) +
             " reglas de " + std::to_string(accepted.size()) + " archivos");
  appendFolderRules(std::move(owned), planSplit(accepted), folder.nameSpace.c_str(), trace);
}

void YaraEngine::loadHashLists(std::vector<std::string> lists, YaraLoadTrace& trace) {
  // In name order, so that signatures sharing a hash are named in a reproducible order.
  std::sort(lists.begin(), lists.end());
  for (const std::string& path : lists) {
    const HashSignatures::ListLoad load = hashes_.loadList(path);
    std::string line = "[YARA] Cargando hashes: " + path + " -> ";
    if (load.unreadable) line += "ERROR DE LECTURA, ";
    line += std::to_string(load.loaded) + " firmas, " + std::to_string(load.malformed) +
            " líneas mal formadas omitidas";
    if (load.tooLarge > 0) {
      line += ", " + std::to_string(load.tooLarge) + " firmas de archivos mayores que " +
              std::to_string(kMaxScanBytes / (1024 * 1024)) + " MB omitidas";
    }
    trace.line(line);
  }
  hashes_.finish();
}

bool YaraEngine::loadCompiledRules(const std::string& path) {
  if (!initialized_) {
    lastError_ = "YARA no inicializado";
    return false;
  }
  YR_RULES* rules = nullptr;
  int code = yr_rules_load(path.c_str(), &rules);
  if (code != ERROR_SUCCESS || rules == nullptr) {
    if (rules != nullptr) yr_rules_destroy(rules);
    lastError_ = "yr_rules_load failed (code " + std::to_string(code) + "): " + path;
    return false;
  }
  appendRuleSet(YaraRules(rules));
  return true;
}

YR_SCANNER* YaraEngine::takeScanner(std::size_t index) const {
  {
    std::lock_guard<std::mutex> lock(scannersMutex_);
    if (index < idleScanners_.size() && !idleScanners_[index].empty()) {
      YR_SCANNER* scanner = idleScanners_[index].back();
      idleScanners_[index].pop_back();
      return scanner;
    }
  }
  YR_SCANNER* scanner = nullptr;
  if (yr_scanner_create(ruleSets_[index].get(), &scanner) != ERROR_SUCCESS) return nullptr;
  yr_scanner_set_flags(scanner, kScanFlags);
  yr_scanner_set_timeout(scanner, kScanTimeoutSeconds);
  return scanner;
}

void YaraEngine::returnScanner(std::size_t index, YR_SCANNER* scanner) const {
  try {
    std::lock_guard<std::mutex> lock(scannersMutex_);
    if (idleScanners_.size() < ruleSets_.size()) idleScanners_.resize(ruleSets_.size());
    if (idleScanners_[index].size() < kMaxIdleScanners) {
      idleScanners_[index].push_back(scanner);
      return;
    }
  } catch (const std::exception&) {
    // No room to keep it: destroyed below.
  }
  yr_scanner_destroy(scanner);
}

void YaraEngine::destroyIdleScanners() {
  std::lock_guard<std::mutex> lock(scannersMutex_);
  for (std::vector<YR_SCANNER*>& idle : idleScanners_) {
    for (YR_SCANNER* scanner : idle) yr_scanner_destroy(scanner);
  }
  idleScanners_.clear();
}

std::vector<std::string> YaraEngine::scanFile(const std::string& path) const {
  if (!initialized_ || loadedSets_.empty()) return {};
  const platform::Result<platform::FileHandle> file = platform::openForScanning(path, true);
  if (!file) return {};
  const platform::Result<platform::FileStatus> status = file->status();
  if (!status || !status->regular) return {};
  const ScanVariables variables = ScanVariables::forPath(path, platform::userNameOf(status->uid));
  return scanOpenFile(*file, status->size, path, nullptr, &variables);
}

std::vector<std::string> YaraEngine::scanOpenFile(const platform::FileHandle& file,
                                                  std::uint64_t size, const std::string& label,
                                                  bool* complete,
                                                  const ScanVariables* variables) const {
  if (complete != nullptr) *complete = true;
  if (!initialized_ || loadedSets_.empty() || size == 0 || size > kMaxScanBytes) return {};
  const platform::MappedRegion region =
      platform::MappedRegion::mapReadOnly(file.descriptor(), size);
  if (!region.isMapped()) return {};
  // Everything but libyara reads through the descriptor, not the mapping: a read of a mapped page
  // the file no longer has would fault outside libyara's guard (and OpenSSL has none).
  const HashSignatures::Reader read = [&file](std::uint64_t offset, unsigned char* buffer,
                                              std::size_t count) -> std::int64_t {
    const platform::Result<std::size_t> got =
        file.readAt(offset, reinterpret_cast<char*>(buffer), count);
    return got ? static_cast<std::int64_t>(*got) : -1;
  };
  return matchAll(region.data(), region.size(), label, complete, variables, read);
}

std::vector<std::string> YaraEngine::scanMemory(const unsigned char* data, std::size_t size,
                                                const std::string& label, bool* complete,
                                                const ScanVariables* variables) const {
  if (complete != nullptr) *complete = true;
  if (!initialized_ || loadedSets_.empty() || size == 0 || size > kMaxScanBytes) return {};
  const HashSignatures::Reader read = [data, size](std::uint64_t offset, unsigned char* buffer,
                                                   std::size_t count) -> std::int64_t {
    if (offset >= size) return 0;
    const std::size_t available = std::min<std::size_t>(count, size - offset);
    std::copy(data + offset, data + offset + available, buffer);
    return static_cast<std::int64_t>(available);
  };
  return matchAll(data, size, label, complete, variables, read);
}

std::vector<std::string> YaraEngine::matchAll(const unsigned char* data, std::size_t size,
                                              const std::string& label, bool* complete,
                                              const ScanVariables* variables,
                                              const HashSignatures::Reader& read) const {
  ScanVariables defined = variables != nullptr ? *variables : ScanVariables::forPath(label, "");
  // The file type's read of the head gives the first two bytes that pick the split set as well.
  std::optional<std::uint16_t> leadingBytes;
  defined.filetype = ScanVariables::fileTypeOf(
      [&](std::uint64_t offset, unsigned char* buffer, std::size_t count) -> std::size_t {
        const std::int64_t got = read(offset, buffer, count);
        if (got <= 0) return 0;
        if (offset == 0) {
          leadingBytes = RuleSplitter::leadingBytesOf(buffer, static_cast<std::size_t>(got));
        }
        return static_cast<std::size_t>(got);
      });
  std::vector<std::string> matches = matchBytes(data, size, label, complete, defined, leadingBytes);
  appendHashMatches(matches, size, complete, read);
  applyAllowList(matches, size, shownPathOf(defined, label), read);
  return matches;
}

void YaraEngine::loadAllowList(const std::string& directory) {
  EventLogger& logger = EventLogger::instance();
  allowList_ = AllowList();
  for (const AllowList::Problem& problem : allowList_.load(directory)) {
    const std::string text = "Lista de permitidos: línea omitida en " + problem.file + ":" +
                             std::to_string(problem.line) + ": " + problem.text;
    std::cerr << "[WARN] " + text + "\n";
    logger.warning(text);
  }
  if (!allowList_.empty()) {
    logger.info("Lista de permitidos cargada desde " + directory + ": " +
                std::to_string(allowList_.ruleCount()) + " reglas, " +
                std::to_string(allowList_.digestCount()) + " sha256");
  }
}

void YaraEngine::applyAllowList(std::vector<std::string>& matches, std::uint64_t size,
                                const std::string& shownPath,
                                const HashSignatures::Reader& read) const {
  if (matches.empty() || allowList_.empty()) return;
  EventLogger& logger = EventLogger::instance();
  auto say = [&](const std::string& text) {
    std::cout << "[INFO] " + text + "\n";
    logger.info(text);
  };
  std::vector<std::string> kept;
  for (std::string& name : matches) {
    if (allowList_.allowsRule(name)) {
      say("Lista de permitidos: regla " + name + " descartada en " + shownPath);
    } else {
      kept.push_back(std::move(name));
    }
  }
  matches = std::move(kept);
  if (matches.empty() || allowList_.digestCount() == 0) return;
  const std::string digest = HashSignatures::sha256Of(size, read);
  if (digest.empty() || !allowList_.allowsDigest(digest)) return;
  std::string dropped;
  for (const std::string& name : matches) dropped += (dropped.empty() ? "" : ", ") + name;
  say("Lista de permitidos: sha256 " + digest + " permitido, coincidencias descartadas en " +
      shownPath + ": " + dropped);
  matches.clear();
}

void YaraEngine::appendHashMatches(std::vector<std::string>& matches, std::uint64_t size,
                                   bool* complete, const HashSignatures::Reader& read) const {
  if (hashes_.count() == 0) return;
  try {
    for (std::string& name : hashes_.match(size, read, complete)) {
      matches.push_back(std::move(name));
    }
  } catch (const std::exception&) {
    if (complete != nullptr) *complete = false;
  }
}

std::vector<std::string> YaraEngine::matchBytes(const unsigned char* data, std::size_t size,
                                                const std::string& label, bool* complete,
                                                const ScanVariables& variables,
                                                std::optional<std::uint16_t> leadingBytes) const {
  std::vector<std::string> matches;
  // libyara guards its reads of the buffer: a mapped file truncated meanwhile ends that rule
  // set's scan with an error instead of a fault.
  try {
    for (const LoadedSet& loaded : loadedSets_) {
      const std::size_t index = ruleSetFor(loaded, leadingBytes);
      int code;
      if (YR_SCANNER* scanner = takeScanner(index)) {
        variables.defineOn(scanner);
        yr_scanner_set_callback(scanner, onScanMessage, &matches);
        code = yr_scanner_scan_mem(scanner, data, size);
        returnScanner(index, scanner);
      } else {
        code = yr_rules_scan_mem(ruleSets_[index].get(), data, size, kScanFlags, onScanMessage,
                                 &matches, kScanTimeoutSeconds);
      }
      if (code == ERROR_SUCCESS) continue;
      if (complete != nullptr) *complete = false;
      if (code != ERROR_SCAN_TIMEOUT) {
        std::cerr << "Error scanning " + label + " with ruleset: " + std::to_string(code) + "\n";
      }
    }
  } catch (const std::exception&) {
    // Out of memory for the list: report what was found so far.
    if (complete != nullptr) *complete = false;
  }
  return matches;
}

}  // namespace norvid
