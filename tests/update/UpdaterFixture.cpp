#include "tests/update/UpdaterFixture.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/RuleFixtures.hpp"

namespace norvid::testing {
namespace {

namespace fs = std::filesystem;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

UpdaterFixture::Run UpdaterFixture::update(const std::vector<std::string>& arguments) const {
  return updateWith("", arguments);
}

UpdaterFixture::Run UpdaterFixture::updateWith(const std::string& prefix,
                                               const std::vector<std::string>& arguments) const {
  std::string command =
      "NORVID_FEEDS_DIR=" + quoted(dir.str() + "/feeds.d") +
      " NORVID_DATA_DIR=" + quoted(dir.str() + "/data") +
      " NORVID_SOCKET=" + quoted(dir.str() + "/service.sock") + " " + prefix + " " +
      quoted(std::string(std::getenv("NORVID_TEST_BINARY_DIR")) + "/norvid-update");
  for (const std::string& argument : arguments) command += " " + quoted(argument);
  command += " >" + quoted(dir.str() + "/out.txt") + " 2>" + quoted(dir.str() + "/err.txt");
  const int raw = std::system(command.c_str());
  Run run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = readFile(dir.str() + "/out.txt");
  run.err = readFile(dir.str() + "/err.txt");
  return run;
}

void UpdaterFixture::configure(const std::string& name, const std::string& text) const {
  dir.write("feeds.d/" + name + ".conf", text);
}

std::string UpdaterFixture::publish(const std::string& name,
                                    const std::vector<ArchiveMember>& members, bool sign) const {
  const std::string path = www() + "/" + name;
  fs::remove(path + ".minisig");
  ArchiveFixtures::write(path, ArchiveFormat::Zip, members);
  if (sign) keys.sign(path);
  return path;
}

std::string UpdaterFixture::currentVersion(const std::string& name) const {
  std::error_code error;
  return fs::read_symlink(feedFolder(name) + "/current", error).string();
}

std::string UpdaterFixture::currentFiles(const std::string& name) const {
  std::vector<std::string> lines;
  std::error_code error;
  for (fs::directory_iterator it(feedFolder(name) + "/current", error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file()) {
      lines.push_back(it->path().filename().string() + "=" + readFile(it->path()));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

nlohmann::json UpdaterFixture::state(const std::string& name) const {
  return nlohmann::json::parse(readFile(feedFolder(name) + "/state.json"), nullptr, false);
}

std::string UpdaterFixture::rule(const std::string& name, const std::string& marker) {
  return RuleFixtures::ruleMatching(name, marker);
}

}  // namespace norvid::testing
