// Costs of the simulated reactor's hot paths on the virtual clock.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "sim/reactor/reactor.h"

namespace {

using klippy::Reactor;

// Timer dispatch with 50 periodic timers live (staggered periods so the queue keeps
// reordering); reported per callback.
void BM_TimerCallback50Live(benchmark::State& state) {
  sim::SimReactor reactor;
  std::int64_t callbacks = 0;
  std::vector<klippy::TimerHandle> timers;
  for (int i = 0; i < 50; ++i) {
    const double period_s = 0.001 * (1 + i % 7);
    timers.push_back(reactor.register_timer(
        [&callbacks, period_s](double eventtime) {
          ++callbacks;
          return eventtime + period_s;
        },
        Reactor::NOW));
  }
  for (auto _ : state) reactor.run_until_time(reactor.monotonic() + 0.01);
  state.SetItemsProcessed(callbacks);
}
BENCHMARK(BM_TimerCallback50Live);

// A task pausing until NOW and being resumed: one suspend/resume round trip through the
// queue (two context switches).
void BM_PauseResumeRoundTrip(benchmark::State& state) {
  sim::SimReactor reactor;
  bool stop = false;
  std::int64_t round_trips = 0;
  reactor.register_callback([&](double) {
    while (!stop) {
      reactor.pause(Reactor::NOW);
      ++round_trips;
    }
    return klippy::Value();
  });
  for (auto _ : state) {
    const std::int64_t target = round_trips + 1000;
    reactor.run_until([&] { return round_trips >= target; }, 1.0);
  }
  stop = true;
  reactor.run_until([&] { return false; }, 0.0);
  state.SetItemsProcessed(round_trips);
}
BENCHMARK(BM_PauseResumeRoundTrip);

// Two tasks handing control back and forth through completions.
void BM_CompletionPingPong(benchmark::State& state) {
  sim::SimReactor reactor;
  klippy::CompletionPtr ping = reactor.completion();
  klippy::CompletionPtr pong = reactor.completion();
  bool stop = false;
  std::int64_t exchanges = 0;
  reactor.register_callback([&](double) {
    while (!stop) {
      ping->wait();
      ping = reactor.completion();
      pong->complete(klippy::Value());
    }
    return klippy::Value();
  });
  reactor.register_callback([&](double) {
    while (!stop) {
      ping->complete(klippy::Value());
      pong->wait();
      pong = reactor.completion();
      ++exchanges;
    }
    return klippy::Value();
  });
  for (auto _ : state) {
    const std::int64_t target = exchanges + 1000;
    reactor.run_until([&] { return exchanges >= target; }, 1.0);
  }
  state.SetItemsProcessed(exchanges);
}
BENCHMARK(BM_CompletionPingPong);

}  // namespace
