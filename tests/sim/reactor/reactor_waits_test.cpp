#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/reactor/reactor.h"

namespace sim {
namespace {

using klippy::Reactor;
using klippy::Value;

TEST(ReactorWaits, TaskWaitsOnCompletionWhileTimerKeepsTicking) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  int ticks = 0;
  reactor.register_timer([&](double eventtime) { return ++ticks, eventtime + 0.010; }, t0);
  auto signal = reactor.completion();
  int ticks_seen_by_waiter = -1;
  auto waiter = reactor.register_callback([&](double) {
    Value got = signal->wait();
    ticks_seen_by_waiter = ticks;
    return got;
  });
  reactor.register_timer(
      [&](double) {
        signal->complete(Value(42));
        EXPECT_EQ(ticks_seen_by_waiter, -1) << "waiters must resume from the loop";
        return Reactor::NEVER;
      },
      t0 + 1.0);

  EXPECT_TRUE(reactor.run_until([&] { return waiter->test(); }, 5.0));
  EXPECT_TRUE(waiter->wait() == Value(42));
  EXPECT_GE(ticks_seen_by_waiter, 100);
  EXPECT_LE(ticks_seen_by_waiter, 101);
}

TEST(ReactorWaits, CompletionWaitTimesOutWithTheDefaultAtExactlyItsTime) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  auto never_completed = reactor.completion();
  double resumed_at = 0.0;
  auto task = reactor.register_callback([&](double) {
    Value got = never_completed->wait(t0 + 0.5, Value("timeout"));
    resumed_at = reactor.monotonic();
    return got;
  });
  reactor.run_until_time(t0 + 1.0);
  EXPECT_TRUE(task->wait() == Value("timeout"));
  EXPECT_EQ(resumed_at, t0 + 0.5);

  // Completed later: a wait returns the result at once, from a task or from outside.
  never_completed->complete(Value(7));
  never_completed->complete(Value(8));
  EXPECT_TRUE(never_completed->wait(t0, Value("timeout")) == Value(7));
}

TEST(ReactorWaits, MutexIsHandedOverInFifoOrder) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  auto mutex = reactor.mutex();
  std::vector<std::pair<std::string, double>> acquired;
  auto holder = [&](std::string name, double hold_s) {
    return [&, name, hold_s](double) {
      mutex->lock();
      acquired.emplace_back(name, reactor.monotonic());
      reactor.pause(reactor.monotonic() + hold_s);
      mutex->unlock();
      return Value();
    };
  };
  reactor.register_callback(holder("first", 1.0), t0);
  reactor.register_callback(holder("second", 0.5), t0 + 0.1);
  reactor.register_callback(holder("third", 0.5), t0 + 0.2);
  reactor.run_until_time(t0 + 5.0);
  using Acq = std::pair<std::string, double>;
  EXPECT_EQ(acquired, (std::vector<Acq>{{"first", t0}, {"second", t0 + 1.0}, {"third", t0 + 1.5}}));
  EXPECT_FALSE(mutex->test());

  // The main code may lock too: it runs the loop until the holder lets go.
  reactor.register_callback(holder("task", 2.0));
  reactor.pause(reactor.monotonic());
  ASSERT_TRUE(mutex->test());
  mutex->lock();
  EXPECT_EQ(reactor.monotonic(), acquired.back().second + 2.0);
  mutex->unlock();
}

TEST(ReactorWaits, SuspendedTimerIsNotReentered) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  int running = 0, max_running = 0, runs = 0;
  klippy::TimerHandle slow;
  slow = reactor.register_timer(
      [&](double) {
        ++runs;
        max_running = std::max(max_running, ++running);
        reactor.pause(reactor.monotonic() + 1.0);
        --running;
        return reactor.monotonic() + 10.0;
      },
      t0);
  reactor.register_timer(
      [&](double eventtime) {
        reactor.update_timer(slow, Reactor::NOW);
        return eventtime < t0 + 0.9 ? eventtime + 0.1 : Reactor::NEVER;
      },
      t0 + 0.05);
  reactor.run_until_time(t0 + 5.0);
  EXPECT_EQ(max_running, 1);
  EXPECT_EQ(runs, 1);  // the updates were ignored and its return value set t0 + 11
  reactor.run_until_time(t0 + 11.0);
  EXPECT_EQ(runs, 2);
}

TEST(ReactorWaits, PauseFromOutsideTasksAdvancesTheWorld) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  int ticks = 0;
  reactor.register_timer([&](double eventtime) { return ++ticks, eventtime + 0.5; }, t0);
  EXPECT_FALSE(reactor.in_task());
  EXPECT_EQ(reactor.pause(t0 + 2.0), t0 + 2.0);
  EXPECT_EQ(ticks, 5);

  auto later = reactor.register_callback([](double) { return Value("done"); }, t0 + 3.0);
  EXPECT_TRUE(later->wait() == Value("done"));
  EXPECT_EQ(reactor.monotonic(), t0 + 3.0);
}

TEST(ReactorWaits, EachTaskKeepsItsOwnCaughtException) {
  SimReactor reactor;
  std::vector<std::string> rethrown;
  auto catch_wait_rethrow = [&](std::string what, double wait_s) {
    return [&, what, wait_s](double) {
      try {
        try {
          throw std::runtime_error(what);
        } catch (...) {
          reactor.pause(reactor.monotonic() + wait_s);
          throw;
        }
      } catch (const std::runtime_error& e) {
        rethrown.emplace_back(e.what());
      }
      return Value();
    };
  };
  // Both tasks sit in their catch blocks at once; the first to enter leaves first.
  reactor.register_callback(catch_wait_rethrow("fast", 0.5));
  reactor.register_callback(catch_wait_rethrow("slow", 1.0));
  reactor.run_until_time(reactor.monotonic() + 2.0);
  EXPECT_EQ(rethrown, (std::vector<std::string>{"fast", "slow"}));
}

TEST(ReactorWaits, FailingCallbackCompletesWithNoneAndIsReported) {
  SimReactor reactor;
  std::string report;
  reactor.set_error_reporter([&](const std::string& message) { report = message; });
  auto failed = reactor.register_callback(
      [](double) -> Value { throw std::runtime_error("spool not found"); });
  EXPECT_TRUE(failed->wait().is_none());
  EXPECT_NE(report.find("spool not found"), std::string::npos);
}

TEST(ReactorWaits, FibersAreReusedByCallbacksThatDoNotWait) {
  SimReactor reactor;
  int runs = 0;
  reactor.register_timer([&](double eventtime) { return ++runs, eventtime + 0.001; }, Reactor::NOW);
  reactor.run_until_time(reactor.monotonic() + 1.0);
  EXPECT_GE(runs, 1000);
  EXPECT_EQ(reactor.fiber_count(), 1u);
}

struct Sentinel {
  explicit Sentinel(bool& destroyed) : destroyed(destroyed) {}
  ~Sentinel() { destroyed = true; }
  bool& destroyed;
};

TEST(ReactorWaits, DestroyingTheReactorUnwindsSuspendedTasks) {
  bool destroyed = false;
  auto mutex_holder = std::make_unique<SimReactor>();
  auto mutex = mutex_holder->mutex();
  mutex_holder->register_callback([&](double) {
    Sentinel sentinel(destroyed);
    mutex->lock();
    mutex_holder->pause(Reactor::NEVER);
    mutex->unlock();
    return Value();
  });
  mutex_holder->register_callback([&](double) {
    mutex->lock();  // queued behind the sleeper forever
    return Value();
  });
  mutex_holder->run_until_time(mutex_holder->monotonic() + 1.0);
  EXPECT_FALSE(destroyed);
  mutex_holder.reset();
  EXPECT_TRUE(destroyed);
}

}  // namespace
}  // namespace sim
