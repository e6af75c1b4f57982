// The system journal writer against a stand-in for journald: a child process gets a mount
// namespace of its own with an empty /run, binds the journal's socket there, writes one entry
// and hands the datagram it received back to the test, which reads journald's native format.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "platform/JournalWriter.hpp"

namespace norvid {
namespace {

// Runs in the child: sets up the stand-in, writes `fields`, and sends back either the datagram
// or "SKIP <why>".
[[noreturn]] void writeThroughStandIn(int out, const platform::JournalFields& fields) {
  auto skip = [out](const char* step) {
    std::string text = std::string("SKIP ") + step + ": " + std::strerror(errno);
    [[maybe_unused]] ssize_t ignored = ::write(out, text.data(), text.size());
    ::_exit(0);
  };
  if (::unshare(CLONE_NEWNS) != 0) skip("unshare");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) skip("private mounts");
  if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) skip("tmpfs on /run");
  ::mkdir("/run/systemd", 0755);
  ::mkdir("/run/systemd/journal", 0755);
  int journal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/run/systemd/journal/socket");
  if (journal < 0 || ::bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    skip("journal socket");
  }
  platform::systemJournalWriter()->write(fields);
  static char datagram[1 << 16];
  const ssize_t length = ::recv(journal, datagram, sizeof datagram, MSG_DONTWAIT);
  if (length < 0) skip("no datagram");
  [[maybe_unused]] ssize_t ignored = ::write(out, datagram, static_cast<std::size_t>(length));
  ::_exit(0);
}

// journald's native format: "NAME=value\n", or for a value with line breaks "NAME\n", its length
// as 64-bit little-endian, the value and "\n".
std::map<std::string, std::string> parseNative(const std::string& data) {
  std::map<std::string, std::string> fields;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t end = data.find('\n', at);
    if (end == std::string::npos) break;
    const std::string line = data.substr(at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      fields[line.substr(0, equals)] = line.substr(equals + 1);
      at = end + 1;
      continue;
    }
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i) {
      size = (size << 8) | static_cast<unsigned char>(data[end + 1 + static_cast<std::size_t>(i)]);
    }
    fields[line] = data.substr(end + 9, size);
    at = end + 9 + size + 1;
  }
  return fields;
}

TEST(JournalWriterTest, SendsEveryFieldWholeToTheJournalSocket) {
  const platform::JournalFields fields = {
      {"MESSAGE_ID", "d763df43d6944423ad774bccbc28867d"},
      {"MESSAGE", "Amenaza detectada: EICAR en /home/ana/a b"},
      {"PRIORITY", "4"},
      {"NORVID_PATH", "/home/ana/two\nlines"},
      {"NORVID_UID", "1000"},
  };
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(channel[0]);
    writeThroughStandIn(channel[1], fields);
  }
  ::close(channel[1]);
  std::string received;
  char buffer[4096];
  ssize_t length;
  while ((length = ::read(channel[0], buffer, sizeof buffer)) > 0) {
    received.append(buffer, static_cast<std::size_t>(length));
  }
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (received.rfind("SKIP ", 0) == 0) GTEST_SKIP() << "no private journal socket: " << received;

  const auto parsed = parseNative(received);
  for (const auto& [name, value] : fields) {
    auto found = parsed.find(name);
    ASSERT_NE(found, parsed.end()) << name;
    EXPECT_EQ(found->second, value) << name;
  }
}

}  // namespace
}  // namespace norvid
