#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>

#include "sim/reactor/reactor.h"

namespace sim {
namespace {

using klippy::CompletionPtr;
using klippy::Value;

// Completes what the loop hands it after a short random delay, as the file writer does with
// saves. It spins rather than sleeps, so that completions land within a few hundred
// nanoseconds of the hand-over: at any moment of the loop's step, including between taking
// the inbox and clearing the wake-up.
class Completer {
 public:
  explicit Completer(SimReactor& reactor) : reactor_(reactor), thread_([this] { run(); }) {}
  ~Completer() {
    stopping_ = true;
    thread_.join();
  }
  Completer(const Completer&) = delete;
  Completer& operator=(const Completer&) = delete;

  void hand(CompletionPtr completion) {
    handed_ = std::move(completion);
    has_item_.store(true, std::memory_order_release);
  }

 private:
  void run() {
    std::minstd_rand random(7);
    while (!stopping_) {
      if (!has_item_.load(std::memory_order_acquire)) continue;
      CompletionPtr completion = std::move(handed_);
      has_item_.store(false, std::memory_order_release);
      volatile std::uint32_t sink = 0;
      const auto spins = random() % 1000;
      for (std::uint32_t i = 0; i < spins; ++i) sink = sink + i;
      reactor_.async_complete(std::move(completion), Value(1));
    }
  }

  SimReactor& reactor_;
  CompletionPtr handed_;
  std::atomic<bool> has_item_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

TEST(ReactorAsync, EveryCompletionHandedInWakesTheLoopUnderStress) {
  SimReactor reactor;
  // Wakes the loop should it ever sleep with a completion queued, so that a lost wake-up
  // fails the test instead of hanging it.
  CompletionPtr rescue = reactor.async_completion();
  std::atomic<int> done{0};
  std::atomic<bool> rescued{false};
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    int seen = -1;
    auto progress_at = std::chrono::steady_clock::now();
    while (!finished && !rescued) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const auto now = std::chrono::steady_clock::now();
      if (done != seen) {
        seen = done;
        progress_at = now;
      } else if (now - progress_at > std::chrono::seconds(3)) {
        rescued = true;
        reactor.async_complete(rescue, Value(0));
      }
    }
  });
  {
    Completer completer(reactor);
    constexpr int kSaves = 100000;
    for (int i = 0; i < kSaves && !rescued; ++i) {
      CompletionPtr save = reactor.async_completion();
      completer.hand(save);
      ASSERT_EQ(save->wait(), Value(1));
      ++done;
    }
  }
  finished = true;
  watchdog.join();
  EXPECT_FALSE(rescued) << "the loop slept with a completion queued after " << done << " saves";
}

}  // namespace
}  // namespace sim
