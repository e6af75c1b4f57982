#include "engine/RuleSplitter.hpp"

#include <yaramod/utils/observing_visitor.h>
#include <yaramod/yaramod.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace norvid {
namespace {

using yaramod::Expression;

// Every identifier a condition names: rules it refers to, modules it reads, loop variables.
class NameCollector : public yaramod::ObservingVisitor {
 public:
  yaramod::VisitResult visit(yaramod::IdExpression* expression) override {
    names.insert(expression->getSymbol()->getName());
    return {};
  }
  using yaramod::ObservingVisitor::visit;

  std::set<std::string> names;
};

struct ParsedRule {
  std::string name;
  std::string text;
  std::optional<std::uint16_t> leadingBytes;
  bool global = false;
  std::set<std::string> names;
};

struct SourceFile {
  std::string path;
  bool whole = false;
  std::vector<std::size_t> rules;  // indexes into the rule list
};

const Expression* unwrap(const Expression* expression) {
  while (const auto* parentheses =
             dynamic_cast<const yaramod::ParenthesesExpression*>(expression)) {
    expression = parentheses->getEnclosedExpression().get();
  }
  return expression;
}

// The operands that must all hold for the condition to hold.
void collectConjuncts(const Expression* expression, std::vector<const Expression*>& out) {
  expression = unwrap(expression);
  if (const auto* conjunction = dynamic_cast<const yaramod::AndExpression*>(expression)) {
    collectConjuncts(conjunction->getLeftOperand().get(), out);
    collectConjuncts(conjunction->getRightOperand().get(), out);
    return;
  }
  out.push_back(expression);
}

std::optional<std::uint64_t> integerOf(const Expression* expression) {
  const auto* literal = dynamic_cast<const yaramod::IntLiteralExpression*>(unwrap(expression));
  if (literal == nullptr) return std::nullopt;
  return literal->getValue();
}

// The bytes `uintN(0) == V` (or `V == uintN(0)`) requires at the start of the file.
std::optional<std::string> bytesOfReadAtZero(const Expression* read, const Expression* value) {
  const auto* function = dynamic_cast<const yaramod::IntFunctionExpression*>(unwrap(read));
  const std::optional<std::uint64_t> expected = integerOf(value);
  if (function == nullptr || !expected) return std::nullopt;
  const std::optional<std::uint64_t> offset = integerOf(function->getArgument().get());
  if (!offset || *offset != 0) return std::nullopt;
  static const std::map<std::string, std::pair<int, bool>> kReads = {
      {"uint8", {1, false}},  {"uint16", {2, false}},  {"uint32", {4, false}},
      {"uint8be", {1, true}}, {"uint16be", {2, true}}, {"uint32be", {4, true}},
  };
  const auto found = kReads.find(function->getFunction());
  if (found == kReads.end()) return std::nullopt;
  const auto [width, bigEndian] = found->second;
  if (width < 8 && (*expected >> (8 * width)) != 0) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(width), '\0');
  for (int i = 0; i < width; ++i) {
    const int shift = 8 * (bigEndian ? width - 1 - i : i);
    bytes[static_cast<std::size_t>(i)] = static_cast<char>((*expected >> shift) & 0xFF);
  }
  return bytes;
}

// The bytes one conjunct requires at offset 0, when it is a test of the first bytes.
std::optional<std::string> requiredPrefix(const Expression* conjunct, const yaramod::Rule& rule) {
  if (const auto* equality = dynamic_cast<const yaramod::EqExpression*>(conjunct)) {
    const Expression* left = equality->getLeftOperand().get();
    const Expression* right = equality->getRightOperand().get();
    if (auto bytes = bytesOfReadAtZero(left, right)) return bytes;
    return bytesOfReadAtZero(right, left);
  }
  if (const auto* at = dynamic_cast<const yaramod::StringAtExpression*>(conjunct)) {
    const std::optional<std::uint64_t> offset = integerOf(at->getAtExpression().get());
    if (!offset || *offset != 0) return std::nullopt;
    for (const yaramod::String* string : rule.getStrings()) {
      if (string->getIdentifier() != at->getId()) continue;
      // Only a string matched as its own bytes: wide, nocase and xor forms start otherwise.
      if (!string->isPlain() || string->isWide() || string->isNocase() || string->isXor()) {
        return std::nullopt;
      }
      return string->getPureText();
    }
    return std::nullopt;
  }
  // The pe module finds a PE only behind a DOS header at offset 0.
  if (conjunct->getText() == "pe.is_pe") return std::string("MZ");
  return std::nullopt;
}

// The group of a rule whose condition requires at least two first bytes.
std::optional<std::uint16_t> groupOf(const yaramod::Rule& rule) {
  std::vector<const Expression*> conjuncts;
  collectConjuncts(rule.getCondition().get(), conjuncts);
  for (const Expression* conjunct : conjuncts) {
    const std::optional<std::string> prefix = requiredPrefix(conjunct, rule);
    if (!prefix) continue;
    const auto key = RuleSplitter::leadingBytesOf(
        reinterpret_cast<const unsigned char*>(prefix->data()), prefix->size());
    if (key) return key;
  }
  return std::nullopt;
}

struct ParsedFile {
  bool whole = false;
  std::string text;  // kept for a file the parser cannot read
  std::vector<std::string> imports;
  std::vector<ParsedRule> rules;
};

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool hasInclude(const std::string& text) {
  static const std::regex kInclude(R"((^|\n)[ \t]*include[ \t]*")");
  return std::regex_search(text, kInclude);
}

void addWords(const std::string& text, std::set<std::string>& words) {
  static const std::regex kWord("[A-Za-z_][A-Za-z0-9_]*");
  for (std::sregex_iterator it(text.begin(), text.end(), kWord), end; it != end; ++it) {
    words.insert(it->str());
  }
}

ParsedFile parseFile(yaramod::Yaramod& parser, const std::string& path) {
  ParsedFile result;
  std::string text = readText(path);
  std::unique_ptr<yaramod::YaraFile> parsed;
  if (!hasInclude(text)) {
    try {
      std::istringstream stream(text);
      parsed = parser.parseStream(stream);
    } catch (const std::exception&) {
      parsed.reset();
    }
  }
  if (!parsed) {
    result.whole = true;
    result.text = std::move(text);
    return result;
  }
  for (const auto& module : parsed->getImports()) result.imports.push_back(module->getName());
  for (const auto& rule : parsed->getRules()) {
    ParsedRule entry;
    entry.name = rule->getName();
    entry.text = rule->getText();
    entry.global = rule->isGlobal();
    entry.leadingBytes = entry.global ? std::nullopt : groupOf(*rule);
    NameCollector collector;
    collector.observe(rule->getCondition());
    entry.names = std::move(collector.names);
    result.rules.push_back(std::move(entry));
  }
  return result;
}

// Moves to "any" every rule another rule needs but would not find in its own set.
void keepReferencesTogether(std::vector<ParsedRule>& rules,
                            const std::map<std::string, std::size_t>& byName) {
  for (bool moved = true; moved;) {
    moved = false;
    for (const ParsedRule& rule : rules) {
      for (const std::string& name : rule.names) {
        const auto found = byName.find(name);
        if (found == byName.end()) continue;
        ParsedRule& needed = rules[found->second];
        if (needed.leadingBytes && needed.leadingBytes != rule.leadingBytes) {
          needed.leadingBytes.reset();
          moved = true;
        }
      }
    }
  }
}

// Moves the rules of groups too small to pay for a set of their own to "any". True when
// something moved.
bool dropSmallGroups(std::vector<ParsedRule>& rules) {
  std::map<std::uint16_t, std::size_t> sizes;
  for (const ParsedRule& rule : rules) {
    if (rule.leadingBytes) ++sizes[*rule.leadingBytes];
  }
  std::vector<std::pair<std::size_t, std::uint16_t>> bySize;
  for (const auto& [key, size] : sizes) bySize.emplace_back(size, key);
  std::sort(bySize.rbegin(), bySize.rend());
  std::set<std::uint16_t> kept;
  for (const auto& [size, key] : bySize) {
    if (kept.size() < RuleSplitter::kMaximumGroups &&
        size * RuleSplitter::kMinimumGroupShare >= rules.size()) {
      kept.insert(key);
    }
  }
  bool moved = false;
  for (ParsedRule& rule : rules) {
    if (rule.leadingBytes && kept.count(*rule.leadingBytes) == 0) {
      rule.leadingBytes.reset();
      moved = true;
    }
  }
  return moved;
}

}  // namespace

std::optional<std::uint16_t> RuleSplitter::leadingBytesOf(const unsigned char* bytes,
                                                          std::size_t size) {
  if (size < 2) return std::nullopt;
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

RuleSplitter::Plan RuleSplitter::plan(const std::vector<std::string>& files) {
  // Reading the files is most of the work: a few threads, each with a parser of its own (building
  // one builds its grammar tables, so each reads many files).
  std::vector<ParsedFile> parsedFiles(files.size());
  const std::size_t threads =
      std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaximumParserThreads);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    yaramod::Yaramod parser;
    for (std::size_t i = next++; i < files.size(); i = next++) {
      parsedFiles[i] = parseFile(parser, files[i]);
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t i = 1; i < std::min(threads, files.size()); ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();

  Plan plan;
  std::vector<ParsedRule> rules;
  std::vector<SourceFile> sources;
  std::set<std::string> modules;
  std::set<std::string> wordsOfWholeFiles;
  for (std::size_t i = 0; i < files.size(); ++i) {
    ParsedFile& parsed = parsedFiles[i];
    SourceFile source{files[i], parsed.whole, {}};
    if (parsed.whole) {
      addWords(parsed.text, wordsOfWholeFiles);
      plan.wholeFiles.push_back(files[i]);
    }
    modules.insert(parsed.imports.begin(), parsed.imports.end());
    for (ParsedRule& rule : parsed.rules) {
      source.rules.push_back(rules.size());
      rules.push_back(std::move(rule));
    }
    sources.push_back(std::move(source));
  }
  plan.parsedRules = rules.size();

  std::map<std::string, std::size_t> byName;
  for (std::size_t i = 0; i < rules.size(); ++i) byName.emplace(rules[i].name, i);
  // A rule a file added whole may name is needed in every set.
  for (ParsedRule& rule : rules) {
    if (wordsOfWholeFiles.count(rule.name) != 0) rule.leadingBytes.reset();
  }
  do {
    keepReferencesTogether(rules, byName);
  } while (dropSmallGroups(rules));

  std::set<std::uint16_t> groups;
  for (const ParsedRule& rule : rules) {
    if (rule.leadingBytes) groups.insert(*rule.leadingBytes);
  }
  std::vector<std::optional<std::uint16_t>> keys{std::nullopt};
  keys.insert(keys.end(), groups.begin(), groups.end());
  for (const std::optional<std::uint16_t>& key : keys) {
    Variant variant;
    variant.leadingBytes = key;
    std::set<std::string> imports;
    std::string text;
    auto flush = [&] {
      if (!text.empty()) variant.chunks.push_back({"", std::move(text)});
      text.clear();
    };
    for (const SourceFile& source : sources) {
      if (source.whole) {
        flush();
        variant.chunks.push_back({source.path, ""});
        continue;
      }
      for (std::size_t index : source.rules) {
        const ParsedRule& rule = rules[index];
        if (rule.leadingBytes && rule.leadingBytes != key) continue;
        text += rule.text + "\n\n";
        ++variant.rules;
        for (const std::string& name : rule.names) {
          if (modules.count(name) == 0) continue;
          imports.insert(name);
          if (!key) ++plan.anyRulesByModule[name];
        }
      }
    }
    flush();
    std::string header;
    for (const std::string& module : imports) header += "import \"" + module + "\"\n";
    if (!header.empty()) variant.chunks.insert(variant.chunks.begin(), {"", header});
    plan.variants.push_back(std::move(variant));
  }
  return plan;
}

}  // namespace norvid
