// CPU cost of the slot LEDs: the default printer with four boxes (16 slot LED timers, each
// on the rhythm of its slot's state) left alone for one simulated hour.
#include <benchmark/benchmark.h>

#include "apps/feedbox/session.h"

namespace {

void BM_SixteenSlotLedsForAnHour(benchmark::State& state) {
  feedbox::Session session({.boxes = 4});
  sim::SimHost& host = session.host();
  host.advance(10.0);
  // Half the slots blink (a failed load), the other half breathe or stay lit.
  for (int slot = 0; slot < 16; slot += 2)
    host.run_command("SAVE_VARIABLE VARIABLE=slot" + std::to_string(slot) + " VALUE=-1");
  for (auto _ : state) host.advance(3600.0);
}
BENCHMARK(BM_SixteenSlotLedsForAnHour)->Unit(benchmark::kMillisecond);

}  // namespace
