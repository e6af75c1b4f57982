#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "platform/ClientConnection.hpp"
#include "platform/SocketTransport.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

using namespace std::chrono_literals;

class ClientConnectionTest : public ::testing::Test {
 protected:
  void serve(SocketTransport::RequestHandler handler, SocketTransport::Options options = {}) {
    transport_ = std::make_unique<SocketTransport>(options);
    ASSERT_TRUE(transport_->open(path_).ok());
    server_ = std::thread([this, handler] { transport_->serve(handler); });
  }
  void TearDown() override {
    if (transport_) transport_->stop();
    if (server_.joinable()) server_.join();
  }

  norvid::testing::TempDir dir_;
  std::string path_ = (dir_.path() / "c.sock").string();
  std::unique_ptr<SocketTransport> transport_;
  std::thread server_;
};

TEST_F(ClientConnectionTest, SendsOneRequestAndReadsTheWholeAnswer) {
  const std::string big(200 * 1024, 'x');
  serve([&big](const std::string& request, const CallerIdentity&) {
    return request == "big" ? big : "echo:" + request;
  });
  for (const auto& [request, answer] :
       std::vector<std::pair<std::string, std::string>>{{"ping", "echo:ping"}, {"big", big}}) {
    ClientConnection connection = ClientConnection::connectTo(path_).value_or(ClientConnection());
    ASSERT_TRUE(connection.isOpen());
    ASSERT_TRUE(connection.sendMessage(request));
    EXPECT_EQ(connection.receiveUntilClosed(10s), answer);
  }
}

TEST_F(ClientConnectionTest, NobodyListeningLeavesTheConnectionClosedWithAReason) {
  Result<ClientConnection> connection = ClientConnection::connectTo(path_);
  EXPECT_FALSE(connection);
  EXPECT_NE(connection.message().find("connect " + path_), std::string::npos)
      << connection.message();
}

TEST_F(ClientConnectionTest, GivesUpWaitingForAnAnswerThatDoesNotCome) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  serve([released](const std::string&, const CallerIdentity&) {
    released.wait();
    return std::string("late");
  });
  ClientConnection connection = ClientConnection::connectTo(path_).value_or(ClientConnection());
  ASSERT_TRUE(connection.sendMessage("slow"));
  Result<std::string> answer = connection.receiveUntilClosed(50ms);
  EXPECT_FALSE(answer);
  EXPECT_NE(answer.message().find("no answer"), std::string::npos) << answer.message();
  release.set_value();
}

TEST_F(ClientConnectionTest, SeesWhenTheServiceClosesAnIdleConnection) {
  SocketTransport::Options options;
  options.requestTimeout = 20ms;
  serve([](const std::string&, const CallerIdentity&) { return std::string("unused"); }, options);
  ClientConnection connection = ClientConnection::connectTo(path_).value_or(ClientConnection());
  ASSERT_TRUE(connection.isOpen());
  // The service closes it after its request timeout; the bound only keeps a fault from hanging.
  for (int i = 0; i < 500 && !connection.closedByPeer(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(connection.closedByPeer());
  EXPECT_EQ(connection.receiveUntilClosed(1s), "");
}

TEST_F(ClientConnectionTest, MovingHandsTheSocketOver) {
  serve([](const std::string& request, const CallerIdentity&) { return request; });
  ClientConnection first = ClientConnection::connectTo(path_).value_or(ClientConnection());
  ClientConnection second = std::move(first);
  EXPECT_FALSE(first.isOpen());
  ASSERT_TRUE(second.isOpen());
  EXPECT_FALSE(second.closedByPeer());
  ASSERT_TRUE(second.sendMessage("moved"));
  EXPECT_EQ(second.receiveUntilClosed(10s), "moved");
  second.close();
  EXPECT_FALSE(second.isOpen());
}

}  // namespace
}  // namespace norvid::platform
