// Round trips per second through the bounded channel and the worker pool.
//
//   channel ping-pong: a value sent to a second thread and sent back;
//   pool round trip:   one empty job submitted and its result received, with
//                      1 and 4 workers, one job in flight and a full window
//                      (as many in flight as there are workers).
#include <chrono>
#include <cstdio>
#include <thread>

#include "zandrel/channel.hpp"
#include "zandrel/worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double per_second(long count, Clock::time_point start) {
  std::chrono::duration<double> elapsed = Clock::now() - start;
  return count / elapsed.count();
}

void channel_ping_pong(long rounds) {
  auto [ping_tx, ping_rx] = zandrel::make_bounded_channel<long>(1);
  auto [pong_tx, pong_rx] = zandrel::make_bounded_channel<long>(1);
  std::thread echo([rx = ping_rx, tx = pong_tx] {
    while (std::optional<long> v = rx.recv()) (void)tx.send(*v);
  });
  auto start = Clock::now();
  for (long i = 0; i < rounds; ++i) {
    (void)ping_tx.send(i);
    (void)pong_rx.recv();
  }
  double rate = per_second(rounds, start);
  ping_tx = {};
  echo.join();
  std::printf("channel ping-pong:                 %12.0f round trips/s\n", rate);
}

void pool_round_trips(size_t workers, size_t window, long jobs) {
  auto pool = zandrel::WorkerPool::create(workers).value();
  auto [tx, rx] = zandrel::make_bounded_channel<zandrel::Result<long>>(window);
  auto start = Clock::now();
  long submitted = 0;
  for (; submitted < static_cast<long>(window); ++submitted) {
    (void)pool->submit(tx, [i = submitted]() -> zandrel::Result<long> { return i; });
  }
  for (long received = 0; received < jobs; ++received) {
    (void)rx.recv();
    if (submitted < jobs) {
      (void)pool->submit(tx, [i = submitted]() -> zandrel::Result<long> { return i; });
      ++submitted;
    }
  }
  std::printf("pool, %zu worker(s), %zu in flight:    %12.0f jobs/s\n", workers, window,
              per_second(jobs, start));
}

}  // namespace

int main() {
  channel_ping_pong(200000);
  pool_round_trips(1, 1, 200000);
  pool_round_trips(4, 1, 200000);
  pool_round_trips(4, 4, 400000);
  return 0;
}
