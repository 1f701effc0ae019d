#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "sim/reactor/reactor.h"

namespace sim {
namespace {

using klippy::Reactor;
using klippy::Value;

TEST(ReactorLoop, VirtualTimeStartsFixedAndRunUntilStopsOnThePredicate) {
  SimReactor reactor;
  EXPECT_EQ(reactor.monotonic(), SimClock::kVirtualStart_s);
  int ticks = 0;
  reactor.register_timer([&](double eventtime) { return ++ticks, eventtime + 1.0; }, Reactor::NOW);
  EXPECT_TRUE(reactor.run_until([&] { return ticks == 4; }, 60.0));
  EXPECT_EQ(reactor.monotonic(), SimClock::kVirtualStart_s + 3.0);
  EXPECT_FALSE(reactor.run_until([&] { return ticks == 0; }, 10.0));
  EXPECT_EQ(reactor.monotonic(), SimClock::kVirtualStart_s + 13.0);
}

TEST(ReactorLoop, RunReturnsAfterEndAndLoopCallsFromTasksAreRefused) {
  SimReactor reactor;
  std::string report;
  reactor.set_error_reporter([&](const std::string& message) { report = message; });
  reactor.register_timer(
      [&](double) {
        reactor.run_until_time(reactor.monotonic() + 1.0);
        return Reactor::NEVER;
      },
      Reactor::NOW);
  int ticks = 0;
  reactor.register_timer(
      [&](double eventtime) {
        if (++ticks == 10) reactor.end();
        return eventtime + 1.0;
      },
      Reactor::NOW);
  reactor.run();
  EXPECT_EQ(ticks, 10);
  EXPECT_NE(report.find("from inside a reactor task"), std::string::npos);
}

TEST(ReactorLoop, RealClockSleepsUntilTimersAndServesReadableFds) {
  SimReactor reactor(ClockKind::Real);
  std::array<int, 2> pipe_fds{};
  ASSERT_EQ(pipe(pipe_fds.data()), 0);
  std::string received;
  reactor.register_fd(pipe_fds[0], [&](double) {
    std::array<char, 16> buffer{};
    const ssize_t n = read(pipe_fds[0], buffer.data(), buffer.size());
    received.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    // Input handlers are tasks: they may wait.
    reactor.pause(reactor.monotonic() + 0.001);
    if (received == "M112") reactor.end();
  });
  const double t0 = reactor.monotonic();
  double woke_at = 0.0;
  reactor.register_timer(
      [&](double eventtime) {
        woke_at = eventtime;
        EXPECT_EQ(write(pipe_fds[1], "M112", 4), 4);
        return Reactor::NEVER;
      },
      t0 + 0.02);
  reactor.run();
  EXPECT_GE(woke_at, t0 + 0.02);
  EXPECT_EQ(received, "M112");
  reactor.unregister_fd(pipe_fds[0]);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_GE(reactor.pause(reactor.monotonic() + 0.005), t0 + 0.025);
}

}  // namespace
}  // namespace sim
