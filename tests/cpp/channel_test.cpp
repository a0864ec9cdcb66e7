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

TEST(Channel, DisconnectionOfEitherSide) {
  auto [tx, rx] = make_bounded_channel<int>(2);
  Sender<int> second = tx;
  tx = {};  // a sender is left: still connected
  EXPECT_EQ(rx.try_recv().error(), TryRecvError::kEmpty);
  EXPECT_EQ(rx.recv_timeout(1ms).error(), RecvTimeoutError::kTimeout);
  ASSERT_TRUE(second.send(2));
  second = {};  // the last sender: the queued value still arrives, then recv fails
  EXPECT_EQ(Receiver<int>(rx).recv_timeout(1h).value(), 2);
  EXPECT_EQ(rx.recv(), std::nullopt);

  // The last receiver gone: queued values are dropped and sends hand theirs back.
  auto [ptx, prx] = make_bounded_channel<std::shared_ptr<int>>(4);
  auto value = std::make_shared<int>(7);
  ASSERT_TRUE(ptx.send(value));
  Receiver<std::shared_ptr<int>> clone = prx;
  prx = {};
  EXPECT_EQ(value.use_count(), 2);
  clone = {};
  EXPECT_EQ(value.use_count(), 1);
  auto sent = ptx.send(value);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().value, value);
}

TEST(Channel, BlockedEndsWakeOnProgressAndOnDisconnection) {
  auto [tx, rx] = make_bounded_channel<int>(0);  // taken as capacity 1
  ASSERT_TRUE(tx.send(1));
  std::atomic<bool> second_sent = false;
  std::thread sender([&, tx = tx] {
    EXPECT_TRUE(tx.send(2));  // blocks until 1 is received
    second_sent = true;
    EXPECT_FALSE(tx.send(3));  // blocks until the receiver goes
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(second_sent);
  EXPECT_EQ(rx.recv(), 1);
  while (!second_sent) std::this_thread::yield();
  rx = {};
  sender.join();

  auto [tx2, rx2] = make_bounded_channel<int>(1);
  std::atomic<int> received = 0;
  std::thread receiver([&received, rx2 = rx2] {
    while (rx2.recv()) ++received;  // sleeps between values; ends at the disconnection
  });
  std::this_thread::sleep_for(20ms);  // long past the receiver's spin: it sleeps
  ASSERT_TRUE(tx2.send(1));           // and must be woken
  for (int i = 0; i < 2000 && received == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(received, 1);
  std::this_thread::sleep_for(20ms);
  tx2 = {};
  receiver.join();
}

TEST(Channel, ManyProducersAndConsumersDeliverEveryValueOnce) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 3000;
  auto [tx, rx] = make_bounded_channel<int>(3);
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([p, tx = tx] {
      for (int i = 0; i < kPerProducer; ++i) {
        ASSERT_TRUE(tx.send(p * kPerProducer + i));
        // Pauses let consumers fall asleep, so sends must wake them.
        if (i % 500 == 0) std::this_thread::sleep_for(1ms);
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&seen, c, rx = rx] {
      for (;;) {  // consumer 0 blocks; the others wait with short timeouts
        auto v = c == 0 ? rx.recv_timeout(1h) : rx.recv_timeout(50us);
        if (v) seen[*v].fetch_add(1);
        else if (v.error() == RecvTimeoutError::kDisconnected) break;
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
