#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>

#include "platform/DeadlineRequest.hpp"
#include "platform/FileHandle.hpp"
#include "platform/SocketClient.hpp"
#include "tests/support/PassedDescriptor.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

using testing::ReceivedMessage;
using testing::receiveWithDescriptor;
using testing::TempDir;

// True when both descriptors refer to the same open file system object.
bool sameFile(int first, int second) {
  struct stat a {
  }, b{};
  return ::fstat(first, &a) == 0 && ::fstat(second, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

TEST(SocketClientTest, AMessageCarriesACopyOfTheDescriptorOrNone) {
  TempDir dir;
  Result<FileHandle> file = FileHandle::openForReading(dir.write("scanned.txt", "content"));
  ASSERT_TRUE(file) << file.message();
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);

  Result<std::size_t> sent = sendWithDescriptor(pair[0], "with", file->descriptor());
  ASSERT_TRUE(sent) << sent.message();
  EXPECT_EQ(*sent, 4u);
  ReceivedMessage with = receiveWithDescriptor(pair[1]);
  EXPECT_EQ(with.text, "with");
  ASSERT_GE(with.descriptor, 0);
  EXPECT_NE(with.descriptor, file->descriptor());
  EXPECT_TRUE(sameFile(with.descriptor, file->descriptor()));
  ::close(with.descriptor);

  ASSERT_TRUE(sendWithDescriptor(pair[0], "without", -1));
  ReceivedMessage without = receiveWithDescriptor(pair[1]);
  EXPECT_EQ(without.text, "without");
  EXPECT_EQ(without.descriptor, -1);

  // A peer that is gone is a failure with its errno, not a signal.
  ::close(pair[1]);
  Result<std::size_t> gone = sendWithDescriptor(pair[0], "late", file->descriptor());
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.failure().code, EPIPE);
  ::close(pair[0]);
}

// A listening socket that takes one request, checks what came with it and answers.
TEST(SocketClientTest, ARequestWithADeadlineHandsTheDescriptorToTheServer) {
  TempDir dir;
  const std::string content = dir.write("open.txt", "the file the caller has open");
  Result<FileHandle> file = FileHandle::openForReading(content);
  ASSERT_TRUE(file) << file.message();
  const std::string path = dir.str() + "/server.sock";
  int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  // The name is moved away before the server reads: what it gets is the caller's open file.
  ASSERT_EQ(::rename(content.c_str(), (dir.str() + "/moved.txt").c_str()), 0);

  auto server = std::async(std::launch::async, [&] {
    std::string seen;
    for (int round = 0; round < 2; ++round) {
      int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return seen;
      ReceivedMessage request = receiveWithDescriptor(client);
      char head[8] = {};
      const ssize_t got =
          request.descriptor >= 0 ? ::pread(request.descriptor, head, 7, 0) : ssize_t{-1};
      seen += request.text + ":" + (got > 0 ? std::string(head, got) : "none") + ";";
      if (request.descriptor >= 0) ::close(request.descriptor);
      const std::string answer = "done";
      ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(client);
    }
    return seen;
  });
  DeadlineReply reply =
      requestWithDeadline(path, "scan", std::chrono::steady_clock::now() + std::chrono::seconds(10),
                          {}, nullptr, file->descriptor());
  EXPECT_EQ(reply.outcome, DeadlineReply::Outcome::Answered) << reply.error;
  EXPECT_EQ(reply.text, "done");
  Result<std::string> plain = sendRequest(path, "plain");
  ASSERT_TRUE(plain) << plain.message();
  EXPECT_EQ(*plain, "done");
  EXPECT_EQ(server.get(), "scan:the fil;plain:none;");
  ::close(listener);
}

}  // namespace
}  // namespace norvid::platform
