#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "onaccess/ScanQueue.hpp"

namespace norvid::onaccess {
namespace {

using Admission = ScanQueue::Admission;

HeldStart heldStart() { return std::make_shared<platform::PermissionRequest>(); }

TEST(ScanQueueTest, ABurstOfWritesCostsAtMostTwoScans) {
  ScanQueue queue(16);
  EXPECT_EQ(queue.add("/w/f", {}), Admission::Queued);
  EXPECT_EQ(queue.add("/w/f", {}), Admission::Coalesced);
  auto first = queue.take();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->path, "/w/f");
  // Written many times while its scan runs: one more scan once it ends, not one per write.
  for (int i = 0; i < 500; ++i) EXPECT_EQ(queue.add("/w/f", {}), Admission::Coalesced);
  EXPECT_EQ(queue.waiting(), 0u);
  queue.finish("/w/f");
  EXPECT_EQ(queue.waiting(), 1u);
  auto second = queue.take();
  ASSERT_TRUE(second);
  queue.finish("/w/f");
  EXPECT_EQ(queue.waiting(), 0u);
}

TEST(ScanQueueTest, ARescanWaitsItsIntervalUnlessAStartNeedsIt) {
  ScanQueue queue(16, std::chrono::hours(1));
  queue.add("/w/log", {});
  ASSERT_TRUE(queue.take());
  queue.add("/w/log", {});
  queue.finish("/w/log");
  EXPECT_EQ(queue.waiting(), 1u);
  EXPECT_EQ(queue.add("/w/log", {}), Admission::Coalesced);
  // Resting: other paths go first.
  queue.add("/w/other", {});
  auto other = queue.take();
  ASSERT_TRUE(other);
  EXPECT_EQ(other->path, "/w/other");
  // Written again after its scan ended, but within the interval: it rests as well.
  queue.finish("/w/other");
  queue.add("/w/other", {});
  queue.add("/w/third", {});
  auto third = queue.take();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->path, "/w/third");
  // A program start of the resting file is scanned at once.
  EXPECT_EQ(queue.add("/w/log", {}, heldStart()), Admission::Coalesced);
  auto start = queue.take(true);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->path, "/w/log");
  EXPECT_EQ(start->held.size(), 1u);
}

TEST(ScanQueueTest, ARescanComesOnceItsIntervalHasPassed) {
  ScanQueue queue(16, std::chrono::milliseconds(20));
  queue.add("/w/log", {});
  ASSERT_TRUE(queue.take());
  queue.add("/w/log", {});
  queue.finish("/w/log");
  auto again = queue.take();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->path, "/w/log");
}

TEST(ScanQueueTest, HeldStartsGoFirstAndFollowTheirPath) {
  ScanQueue queue(16);
  queue.add("/w/written", {});
  queue.add("/w/both", {});
  EXPECT_EQ(queue.add("/w/both", {}, heldStart()), Admission::Coalesced);
  queue.add("/w/started", {}, heldStart());

  auto first = queue.take();
  auto second = queue.take();
  auto third = queue.take();
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(first->path, "/w/both");
  EXPECT_EQ(first->held.size(), 1u);
  EXPECT_EQ(second->path, "/w/started");
  EXPECT_EQ(third->path, "/w/written");
  EXPECT_TRUE(third->held.empty());

  // A start while its file is being scanned waits for a fresh scan, which goes first.
  queue.add("/w/other", {});
  EXPECT_EQ(queue.add("/w/written", {}, heldStart()), Admission::Coalesced);
  queue.finish("/w/written");
  auto again = queue.take();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->path, "/w/written");
  EXPECT_EQ(again->held.size(), 1u);
}

TEST(ScanQueueTest, ATakerKeptForStartsTakesNothingElse) {
  ScanQueue queue(16);
  queue.add("/w/written", {});
  queue.add("/w/started", {}, heldStart());
  auto start = queue.take(true);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->path, "/w/started");
  std::optional<ScanJob> none;
  std::thread kept([&] { none = queue.take(true); });
  auto written = queue.take();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->path, "/w/written");
  queue.close();
  kept.join();
  EXPECT_FALSE(none);
}

TEST(ScanQueueTest, BoundedAndClosable) {
  ScanQueue queue(2);
  EXPECT_EQ(queue.add("/a", {}), Admission::Queued);
  EXPECT_EQ(queue.add("/b", {}), Admission::Queued);
  EXPECT_EQ(queue.add("/c", {}), Admission::Refused);
  EXPECT_EQ(queue.add("/a", {}), Admission::Coalesced);

  std::thread taker([&queue] {
    while (queue.take()) {
    }
  });
  queue.close();
  taker.join();
  EXPECT_EQ(queue.add("/d", {}), Admission::Refused);
  EXPECT_FALSE(queue.take());
}

TEST(ScanQueueTest, PathsBeyondTheOpenCapacityAreFoldedToThePathAlone) {
  ScanQueue queue(3, std::chrono::milliseconds(0), 2);
  const OpenFile file = std::make_shared<platform::FileHandle>();
  EXPECT_EQ(queue.add("/w/a", {}, nullptr, file), Admission::Queued);
  EXPECT_EQ(queue.add("/w/b", {}, nullptr, file), Admission::Queued);
  EXPECT_EQ(queue.add("/w/c", {}, nullptr, file), Admission::Folded);
  // Folded stays folded, whatever comes for the path later; one entry per path.
  EXPECT_EQ(queue.add("/w/c", {}, nullptr, file), Admission::Coalesced);
  EXPECT_EQ(queue.add("/w/d", {}, nullptr, file), Admission::Refused);
  EXPECT_EQ(queue.waiting(), 3u);
  std::map<std::string, bool> open;
  for (int i = 0; i < 3; ++i) {
    std::optional<ScanJob> job = queue.take();
    ASSERT_TRUE(job);
    open[job->path] = job->content != nullptr;
  }
  EXPECT_EQ(open, (std::map<std::string, bool>{{"/w/a", true}, {"/w/b", true}, {"/w/c", false}}));
}

TEST(ScanQueueTest, AScanWithoutAnswerIsAskedForAgainAfterItsPause) {
  ScanQueue queue(8);
  queue.add("/w/slow", {});
  std::optional<ScanJob> job = queue.take();
  ASSERT_TRUE(job);
  job->held.push_back(heldStart());
  job->attempts = 2;
  queue.finish("/w/slow");
  EXPECT_EQ(queue.retry(*job, std::chrono::milliseconds(50)), Admission::Queued);
  // Already asked for again: a second retry of the same path folds into it.
  EXPECT_EQ(queue.retry(*job, std::chrono::milliseconds(50)), Admission::Coalesced);
  EXPECT_EQ(queue.waiting(), 1u);
  std::optional<ScanJob> again = queue.take();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->path, "/w/slow");
  EXPECT_EQ(again->attempts, 2);
  EXPECT_TRUE(again->held.empty());
  queue.close();
  EXPECT_EQ(queue.retry(*again, std::chrono::milliseconds(0)), Admission::Refused);
}

}  // namespace
}  // namespace norvid::onaccess
