#include "tests/update/FeedServer.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace norvid::testing {

FeedServer::FeedServer(const std::string& directory, const std::string& certificate,
                       const std::string& key)
    : logPath_((std::filesystem::path(directory).parent_path() / "requests.log").string()),
      scheme_(certificate.empty() ? "http" : "https") {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv = {
      "python3", std::string(NORVID_SOURCE_DIR) + "/tests/update/feed_server.py", directory};
  if (!certificate.empty()) {
    argv.push_back(certificate);
    argv.push_back(key);
  }
  std::vector<char*> pointers;
  for (auto& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "python3", &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    ::close(pipeEnds[0]);
    throw std::runtime_error("cannot start python3");
  }
  pid_ = pid;
  std::string line;
  char c = 0;
  while (::read(pipeEnds[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(pipeEnds[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) throw std::runtime_error("the feed server did not start");
}

FeedServer::~FeedServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string FeedServer::url(const std::string& path) const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

int FeedServer::requestsFor(const std::string& path) const {
  std::ifstream in(logPath_);
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(path, 0) == 0) ++count;
  }
  return count;
}

void FeedServer::makeCertificate(const std::string& directory) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      directory + "/key.pem' -out '" + directory + "/cert.pem' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
}

}  // namespace norvid::testing
