// Costs of the box controller's hot paths: a saved-variable write with a realistically full
// file, and the 10 ms ticks of the mirror timers and the stall detector.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/module.h"
#include "sim/host/host.h"

namespace {

const char* const kConfig = R"([mcu]
serial: /dev/serial/by-id/usb-printer
[mcu mcu_box1]
serial: /dev/serial/by-id/usb-box1
[save_variables]
filename: /home/zur/printer_data/config/saved_variables.cfg
[gcode_macro RESUME_PRINT]
variable_etemp: 0
gcode:
    RESUME
[filament_motion_sensor box_motion_sensor]
switch_pin: mcu_box1:PA0
extruder: extruder
detection_length: 7
[hall_filament_width_sensor]
adc1: PC0
adc2: PC1
default_nominal_filament_diameter: 1.75
measurement_delay: 70
enable: True
pause_on_runout: False
enable_flow_compensation: False
[feedhub]
b_button_pin: ^mcu_box1:PB0
b_endstop_pin: mcu_box1:PB1
e_endstop_pin: mcu_box1:PB2
)";

// A started host in a private data folder, removed afterwards.
class BenchHost {
 public:
  BenchHost() {
    dir_ = std::filesystem::temp_directory_path() /
           ("feedhub-bench-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
    sim::HostOptions options;
    options.data_dir = dir_.string();
    host_ = std::make_unique<sim::SimHost>(std::move(options));
    host_->add_module(feedhub::feedhub_module());
    host_->start(sim::ConfigText::from_text(kConfig, "bench.cfg", dir_.string()));
  }
  ~BenchHost() {
    host_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  feedhub::FeedHub& hub() {
    return host_->printer().lookup_object<feedhub::FeedHub>(feedhub::FeedHub::kObjectName);
  }
  sim::SimHost& host() { return *host_; }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<sim::SimHost> host_;
};

// One write of a file holding 300 keys: format, temporary file, fsync, rename, reload.
void BM_SaveVariable300Keys(benchmark::State& state) {
  BenchHost bench;
  feedhub::FeedHub& hub = bench.hub();
  for (int i = 0; i < 300; ++i) hub.variables().save_variable("key_" + std::to_string(i), i * 0.5);
  long long value = 0;
  for (auto _ : state) hub.variables().save_variable("slot3", ++value);
}
BENCHMARK(BM_SaveVariable300Keys)->Unit(benchmark::kMicrosecond);

double thread_cpu_s() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The same save, counting only what the event loop's thread spends (checks, formatting,
// handing the file over, the reload); the worker's write and fsync run meanwhile. The
// counter loop_us is that cost per save; "Time" is the whole save as the caller waits it.
void BM_SaveVariable300KeysEventLoopPart(benchmark::State& state) {
  BenchHost bench;
  feedhub::FeedHub& hub = bench.hub();
  for (int i = 0; i < 300; ++i) hub.variables().save_variable("key_" + std::to_string(i), i * 0.5);
  long long value = 0;
  double loop_s = 0.0;
  for (auto _ : state) {
    const double start = thread_cpu_s();
    hub.variables().save_variable("slot3", ++value);
    loop_s += thread_cpu_s() - start;
  }
  state.counters["loop_us"] =
      benchmark::Counter(loop_s * 1e6 / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SaveVariable300KeysEventLoopPart)->Unit(benchmark::kMicrosecond);

// Mirror ticks with the sensor unchanged, the case of almost every tick of a homing move.
void BM_OutletMirrorTick(benchmark::State& state) {
  BenchHost bench;
  feedhub::FeedHub& hub = bench.hub();
  double eventtime = bench.host().reactor().monotonic();
  for (auto _ : state) eventtime = hub.sensors().update_b_endstop(eventtime);
  benchmark::DoNotOptimize(eventtime);
}
BENCHMARK(BM_OutletMirrorTick);

void BM_EntryMirrorTick(benchmark::State& state) {
  BenchHost bench;
  feedhub::FeedHub& hub = bench.hub();
  double eventtime = bench.host().reactor().monotonic();
  for (auto _ : state) eventtime = hub.sensors().update_e_endstop(eventtime);
  benchmark::DoNotOptimize(eventtime);
}
BENCHMARK(BM_EntryMirrorTick);

// Armed, with the filament never moving: after 2.5 s of ticks every tick also forces the
// endstop, so this is the detector's most expensive steady path.
void BM_StallDetectorTick(benchmark::State& state) {
  BenchHost bench;
  feedhub::BoxMotion& motion = bench.hub().sensors().b_motion();
  motion.init_box_motion("b_endstop", 80, 0, 1e9);
  double eventtime = bench.host().reactor().monotonic();
  for (auto _ : state) eventtime = motion.update_box_motion(eventtime);
  benchmark::DoNotOptimize(eventtime);
}
BENCHMARK(BM_StallDetectorTick);

}  // namespace
