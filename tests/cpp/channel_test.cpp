#include "zandrel/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace zandrel {
namespace {

using namespace std::chrono_literals;

TEST(Channel, ReceiversDrainQueuedValuesAfterTheLastSenderGoes) {
  auto [tx, rx] = make_bounded_channel<int>(2);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.send(2));
  Sender<int> second = tx;
  tx = Sender<int>();  // one sender is left: still connected
  EXPECT_EQ(rx.try_recv().value(), 1);
  EXPECT_EQ(rx.recv_timeout(10ms).value(), 2);
  EXPECT_EQ(rx.try_recv().error(), TryRecvError::kEmpty);
  EXPECT_EQ(rx.recv_timeout(1ms).error(), RecvTimeoutError::kTimeout);

  ASSERT_TRUE(second.send(3));
  second = Sender<int>();  // the last sender: queued values still arrive
  Receiver<int> other = rx;
  EXPECT_EQ(other.recv(), 3);
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.try_recv().error(), TryRecvError::kDisconnected);
  EXPECT_EQ(rx.recv_timeout(1h).error(), RecvTimeoutError::kDisconnected);
  EXPECT_EQ(Receiver<int>().recv(), std::nullopt);
}

TEST(Channel, SendFailsWithItsValueOnceNoReceiverIsLeft) {
  auto [tx, rx] = make_bounded_channel<std::shared_ptr<int>>(4);
  auto queued = std::make_shared<int>(7);
  ASSERT_TRUE(tx.send(queued));
  Receiver<std::shared_ptr<int>> clone = rx;
  rx = {};
  ASSERT_TRUE(tx.send(queued));  // a receiver is still there
  EXPECT_EQ(queued.use_count(), 3);

  clone = {};  // the last receiver: nobody can take the queued values any more
  EXPECT_EQ(queued.use_count(), 1);
  auto value = std::make_shared<int>(9);
  auto sent = tx.send(value);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().value, value);
  EXPECT_FALSE(Sender<int>().send(1));
}

TEST(Channel, BlockedEndsWakeOnProgressAndOnDisconnection) {
  auto [tx, rx] = make_bounded_channel<int>(0);  // taken as capacity 1
  ASSERT_TRUE(tx.send(1));
  std::atomic<bool> second_sent = false;
  std::thread sender([&, tx = tx] {
    EXPECT_TRUE(tx.send(2));  // blocks until 1 is received
    second_sent = true;
    EXPECT_FALSE(tx.send(3));  // the channel is full until the receiver goes
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(second_sent);  // the channel holds one value
  EXPECT_EQ(rx.recv(), 1);
  while (!second_sent) std::this_thread::yield();
  rx = {};
  sender.join();

  auto [tx2, rx2] = make_bounded_channel<int>(1);
  std::thread receiver([rx2 = rx2] { EXPECT_EQ(rx2.recv(), std::nullopt); });
  std::this_thread::sleep_for(20ms);
  tx2 = {};  // wakes the waiting receiver
  receiver.join();
}

TEST(Channel, ManyProducersAndConsumersDeliverEveryValueOnce) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 2000;
  auto [tx, rx] = make_bounded_channel<int>(3);
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([p, tx = tx] {
      for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(tx.send(p * kPerProducer + i));
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&seen, rx = rx] {
      int last[kProducers] = {-1, -1, -1, -1};
      while (std::optional<int> v = rx.recv()) {
        seen[*v].fetch_add(1);
        // One consumer sees each producer's values in the order sent.
        EXPECT_GT(*v % kPerProducer, last[*v / kPerProducer]);
        last[*v / kPerProducer] = *v % kPerProducer;
      }
    });
  }
  tx = {};
  rx = {};
  for (auto& t : threads) t.join();
  for (auto& count : seen) ASSERT_EQ(count.load(), 1);
}

}  // namespace
}  // namespace zandrel
