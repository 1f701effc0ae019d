// What the black-box recorder costs: one recorded event of each kind through the hooks of a
// running box (it stays on always, so this is paid on every sensor change, move, command and
// saved-variable write), the ring's memory, and formatting a full ring into a dump, which
// every error report pays once.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "apps/feedbox/session.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/record_ring.h"

namespace {

// The embedded printer with one box, started, in a temporary folder.
class BenchBox {
 public:
  BenchBox() : session_(feedbox::SessionOptions{}) {}
  feedhub::BlackBox& black_box() {
    return session_.host()
        .printer()
        .lookup_object<feedhub::FeedHub>(feedhub::FeedHub::kObjectName)
        .black_box();
  }

 private:
  feedbox::Session session_;
};

void BM_RecordSensorChange(benchmark::State& state) {
  BenchBox box;
  feedhub::BlackBox& black_box = box.black_box();
  bool filament = false;
  for (auto _ : state) {
    filament = !filament;
    black_box.sensor_report(feedhub::RecordedSensor::Outlet, -1, filament, 1000.0);
  }
}
BENCHMARK(BM_RecordSensorChange);

void BM_RecordFeedMove(benchmark::State& state) {
  BenchBox box;
  feedhub::BlackBox& black_box = box.black_box();
  double start = 10.0;
  for (auto _ : state) {
    black_box.feed_move(2, 341.5, 80.0, 50.0, start, start + 5.0);
    black_box.move_stopped(2, start + 4.0);
    start += 5.0;
  }
}
BENCHMARK(BM_RecordFeedMove);

void BM_RecordCommand(benchmark::State& state) {
  BenchBox box;
  feedhub::BlackBox& black_box = box.black_box();
  for (auto _ : state) {
    const std::uint64_t seq = black_box.command_started("EXTRUDER_LOAD SLOT=slot2");
    black_box.command_ended(seq, true, {});
  }
}
BENCHMARK(BM_RecordCommand);

void BM_RecordVariableWrite(benchmark::State& state) {
  BenchBox box;
  feedhub::BlackBox& black_box = box.black_box();
  for (auto _ : state) black_box.variable_written("last_load_slot", "'slot2'", "'slot-1'");
}
BENCHMARK(BM_RecordVariableWrite);

// The whole ring formatted as the dump an error report writes (the disk write itself runs
// off the event loop).
void BM_FormatFullDump(benchmark::State& state) {
  BenchBox box;
  feedhub::BlackBox& black_box = box.black_box();
  for (std::size_t i = 0; i < feedhub::kDefaultRecordCapacity; ++i) {
    black_box.feed_move(static_cast<int>(i % 4), 341.5, 80.0, 50.0, i, i + 1.0);
    black_box.sensor_report(feedhub::RecordedSensor::Outlet, -1, i % 2 == 0, 1000.0 + i);
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string dump = black_box.format_dump("bench");
    bytes = dump.size();
    benchmark::DoNotOptimize(dump.data());
  }
  state.counters["dump_bytes"] = static_cast<double>(bytes);
  state.counters["ring_bytes"] = static_cast<double>(black_box.ring().memory_bytes());
  state.counters["ring_events"] = static_cast<double>(black_box.ring().capacity());
}
BENCHMARK(BM_FormatFullDump)->Unit(benchmark::kMillisecond);

}  // namespace
