#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "sim/reactor/reactor.h"

namespace sim {
namespace {

using klippy::Reactor;

TEST(ReactorTimers, DueAtTheSameTimeRunInRegistrationOrderAfterEarlierOnes) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  std::vector<std::string> order;
  auto note = [&](std::string name) {
    return [&order, name](double) {
      order.push_back(name);
      return Reactor::NEVER;
    };
  };
  auto first = reactor.register_timer(note("first"));  // parked, scheduled later
  reactor.register_timer(note("second"), t0 + 5.0);
  reactor.register_timer(note("third"), t0 + 5.0);
  reactor.register_timer(note("early"), t0 + 1.0);
  reactor.update_timer(first, t0 + 5.0);
  reactor.run_until_time(t0 + 10.0);
  EXPECT_EQ(order, (std::vector<std::string>{"early", "first", "second", "third"}));
}

TEST(ReactorTimers, EightHourTimerPassesAtOnceAndExactly) {
  SimReactor reactor;
  const double due = reactor.monotonic() + 8 * 3600.0;
  double fired_at = 0.0;
  reactor.register_timer(
      [&](double eventtime) {
        fired_at = eventtime;
        return Reactor::NEVER;
      },
      due);
  reactor.run_until_time(due + 1.0);
  EXPECT_EQ(fired_at, due);
  EXPECT_EQ(reactor.monotonic(), due + 1.0);
}

TEST(ReactorTimers, ReturnValueReschedulesAndUpdateWhileRunningIsIgnored) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  std::vector<double> runs;
  klippy::TimerHandle timer;
  timer = reactor.register_timer(
      [&](double eventtime) {
        runs.push_back(eventtime);
        reactor.update_timer(timer, Reactor::NOW);
        return runs.size() < 3 ? eventtime + 0.25 : Reactor::NEVER;
      },
      t0);
  reactor.run_until_time(t0 + 5.0);
  EXPECT_EQ(runs, (std::vector<double>{t0, t0 + 0.25, t0 + 0.5}));
}

TEST(ReactorTimers, RegisterAndUnregisterFromInsideCallbacks) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  int self_removing_runs = 0, spawned_runs = 0, victim_runs = 0;
  klippy::TimerHandle self, victim;
  self = reactor.register_timer(
      [&, label = std::string("self-removing")](double eventtime) {
        reactor.unregister_timer(victim);
        reactor.unregister_timer(self);
        self.reset();  // the callback now outlives every handle to its own timer
        reactor.register_timer(
            [&](double) {
              ++spawned_runs;
              return Reactor::NEVER;
            },
            Reactor::NOW);
        self_removing_runs += label.size() == 13 ? 1 : 100;
        return eventtime + 0.1;  // ignored: the timer is gone
      },
      t0 + 1.0);
  victim = reactor.register_timer(
      [&](double) {
        ++victim_runs;
        return Reactor::NEVER;
      },
      t0 + 1.0);
  reactor.run_until_time(t0 + 3.0);
  EXPECT_EQ(self_removing_runs, 1);
  EXPECT_EQ(spawned_runs, 1);
  EXPECT_EQ(victim_runs, 0);
}

TEST(ReactorTimers, TimerAskingForNowDoesNotStarveOthers) {
  SimReactor reactor;
  int busy_runs = 0;
  bool other_ran = false;
  reactor.register_timer(
      [&](double) {
        ++busy_runs;
        return other_ran ? Reactor::NEVER : Reactor::NOW;
      },
      Reactor::NOW);
  reactor.register_timer(
      [&](double) {
        other_ran = true;
        return Reactor::NEVER;
      },
      Reactor::NOW);
  reactor.run_until_time(reactor.monotonic());
  EXPECT_TRUE(other_ran);
  EXPECT_LE(busy_runs, 3);
}

TEST(ReactorTimers, ExceptionIsReportedTimerParkedAndLoopGoesOn) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  std::vector<std::string> reports;
  reactor.set_error_reporter([&](const std::string& message) { reports.push_back(message); });
  int ticks = 0, failing_runs = 0;
  reactor.register_timer([&](double eventtime) { return ++ticks, eventtime + 0.1; }, t0);
  auto failing = reactor.register_timer(
      [&](double eventtime) -> double {
        if (++failing_runs == 1) throw std::runtime_error("heater sensor unplugged");
        return eventtime + 100.0;
      },
      t0 + 0.5);
  reactor.run_until_time(t0 + 2.0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("heater sensor unplugged"), std::string::npos);
  EXPECT_EQ(failing_runs, 1);
  EXPECT_GE(ticks, 20);

  // Parked, not unregistered: it can be woken again.
  reactor.update_timer(failing, t0 + 3.0);
  reactor.run_until_time(t0 + 4.0);
  EXPECT_EQ(failing_runs, 2);
}

TEST(ReactorTimers, ManyReschedulesKeepTheQueueSmallAndCorrect) {
  SimReactor reactor;
  const double t0 = reactor.monotonic();
  int watchdog_runs = 0;
  auto watchdog = reactor.register_timer([&](double) { return ++watchdog_runs, Reactor::NEVER; });
  reactor.register_timer(
      [&](double eventtime) {
        reactor.update_timer(watchdog, eventtime + 1.0);  // pushed back while fed
        return eventtime < t0 + 10.0 ? eventtime + 0.001 : Reactor::NEVER;
      },
      t0);
  reactor.run_until_time(t0 + 10.5);
  EXPECT_EQ(watchdog_runs, 0);
  reactor.run_until_time(t0 + 12.0);
  EXPECT_EQ(watchdog_runs, 1);
}

}  // namespace
}  // namespace sim
