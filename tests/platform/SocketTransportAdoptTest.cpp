#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/SocketClient.hpp"
#include "platform/SocketTransport.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

// A listening socket made the way the service manager makes one for socket activation.
int listeningSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// After a stop the socket still belongs to its creator: its file stays and it still takes
// connections, so the next instance of the service can be handed the same socket.
TEST(SocketTransportAdoptTest, ServesAPassedSocketAndLeavesItUsableAfterStop) {
  testing::TempDir root;
  const std::string path = root.str() + "/passed.sock";
  int fd = listeningSocket(path);
  ASSERT_GE(fd, 0);
  int creatorCopy = ::dup(fd);

  {
    SocketTransport transport;
    ASSERT_TRUE(transport.adopt(fd).ok());
    std::thread server([&transport] {
      transport.serve(
          [](const std::string& request, const CallerIdentity&) { return "echo:" + request; });
    });
    EXPECT_EQ(sendRequest(path, "hello"), "echo:hello");
    transport.stop();
    server.join();
  }

  EXPECT_TRUE(std::filesystem::exists(path));
  SocketTransport next;
  ASSERT_TRUE(next.adopt(creatorCopy).ok());
  std::thread server([&next] {
    next.serve([](const std::string&, const CallerIdentity&) { return std::string("again"); });
  });
  EXPECT_EQ(sendRequest(path, "x"), "again");
  next.stop();
  server.join();
}

}  // namespace
}  // namespace norvid::platform
