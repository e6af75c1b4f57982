#include "ipc/RuleCommands.hpp"

#include <shared_mutex>

#include "engine/ContentFingerprint.hpp"
#include "engine/PersistentVerdicts.hpp"
#include "ipc/JsonResponse.hpp"
#include "logging/EventLogger.hpp"
#include "logging/ServiceEvents.hpp"

namespace norvid {

RuleCommands::RuleCommands(EngineSlot& slot, std::string rulesDir, std::string traceDirectory,
                           std::string extractionDir, std::string allowDir,
                           ExclusionsManager* exclusions, ScanThreadPool& pool,
                           PersistentVerdicts* verdicts)
    : slot_(slot),
      rulesDir_(std::move(rulesDir)),
      traceDirectory_(std::move(traceDirectory)),
      extractionDir_(std::move(extractionDir)),
      allowDir_(std::move(allowDir)),
      exclusions_(exclusions),
      pool_(pool),
      verdicts_(verdicts) {}

std::string RuleCommands::handleReloadRules(const CallerIdentity& caller) {
  EventLogger& logger = EventLogger::instance();
  logger.info("Hot-reload de reglas iniciado");
  std::unique_lock<std::shared_mutex> lock(slot_.lock);
  try {
    if (verdicts_ != nullptr) verdicts_->detach();
    slot_.scanner.reset();
    if (slot_.engine) {
      slot_.engine->unload();
      slot_.engine.reset();
    }
    slot_.engine = std::make_unique<YaraEngine>(traceDirectory_);
    std::vector<RuleFolder> feeds = feedRuleFolders(traceDirectory_);
    // Read before the load and checked unchanged after it, so that it describes what was loaded.
    const ContentFingerprint content =
        ContentFingerprint::ofEngineFolders(rulesDir_, feeds, allowDir_, true, true);
    slot_.engine->setAdditionalFolders(std::move(feeds));
    if (!slot_.engine->initialize()) {
      logger.error("reload_rules: no se pudo inicializar YARA");
      slot_.engine.reset();
      return createErrorResponse("reload_rules: no se pudo inicializar YARA");
    }
    logger.info("reload_rules: cargando desde " + rulesDir_);
    if (!slot_.engine->loadRulesFromDirectory(rulesDir_)) {
      logger.error("reload_rules: no se pudieron cargar reglas");
      slot_.engine->unload();
      slot_.engine.reset();
      return createErrorResponse("reload_rules: no se pudieron cargar las reglas desde " +
                                 rulesDir_);
    }
    slot_.engine->loadAllowList(allowDir_);
    slot_.scanner = std::make_unique<Scanner>(slot_.engine.get(), true, true, exclusions_,
                                              extractionDir_, &pool_);
    if (verdicts_ != nullptr) {
      verdicts_->attach(slot_.scanner->verdictCache(), content, exclusions_);
    }
    const std::int32_t rules = slot_.engine->getTotalRules();
    const std::size_t hashes = slot_.engine->hashSignatureCount();
    logger.logRulesUpdated(rules, "hot-reload");
    if (hashes > 0) logger.info("Firmas hash cargadas: " + std::to_string(hashes));
    ServiceEvents::instance().rulesReloaded(rules, caller);
    return serializeResponse(
        {{"status", "ok"},
         {"rules_loaded", rules},
         {"hash_signatures_loaded", static_cast<std::int64_t>(hashes)},
         {"rules_path", rulesDir_},
         {"message", "Reglas YARA recargadas: " + std::to_string(rules) + " reglas activas"}});
  } catch (const std::exception& error) {
    logger.error(std::string("reload_rules excepcion: ") + error.what());
    return createErrorResponse(std::string("reload_rules exception: ") + error.what());
  }
}

}  // namespace norvid
