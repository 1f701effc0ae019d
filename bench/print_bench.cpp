// How fast the simulated printer runs a long print: simulated seconds per real second for a
// two-hour print of continuous extrusion with one slot motor following the extruder and the
// filament world tracking its strand, and the peak memory of the process.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <sstream>

#include "sim/host/host.h"
#include "sim/host/print_job.h"

namespace {

const char* kPrinter = R"(
[printer]
kinematics: cartesian
max_velocity: 300
max_accel: 3000
max_z_velocity: 10
max_z_accel: 100
[stepper_x]
step_pin: PE0
dir_pin: PE1
microsteps: 16
rotation_distance: 40
endstop_pin: ^PE3
position_endstop: 0
position_max: 300
[stepper_y]
step_pin: PE4
dir_pin: PE5
microsteps: 16
rotation_distance: 40
endstop_pin: ^PE7
position_endstop: 0
position_max: 300
[stepper_z]
step_pin: PE8
dir_pin: PE9
microsteps: 16
rotation_distance: 8
endstop_pin: ^PE11
position_endstop: 0
position_max: 300
[extruder]
step_pin: PB3
dir_pin: PB4
microsteps: 16
rotation_distance: 22.67
nozzle_diameter: 0.4
filament_diameter: 1.75
heater_pin: PA1
sensor_type: EPCOS 100K B57560G104F
sensor_pin: PA0
control: watermark
min_temp: 0
max_temp: 300
min_extrude_temp: 0
[mcu mcu_box1]
serial: /dev/box1
[extruder_stepper slot0]
extruder: extruder
step_pin: mcu_box1:PA1
dir_pin: mcu_box1:PA2
microsteps: 16
rotation_distance: 22.67
[filament_world]
slot0_runout_pin: mcu_box1:PA0
box1_outlet_pin: mcu_box1:PB0
encoder_pin: mcu_box1:PC0
slot0_spool: PLA FF0000
)";

// Square perimeters at 50 mm/s, extruding all the way: 0.2 s per line.
std::vector<std::string> two_hour_print() {
  std::vector<std::string> lines = {"G28", "G90", "M83", "G1 X0 Y0 F3000"};
  const int moves = 7200 * 5;
  const char* corners[] = {"X10 Y0", "X10 Y10", "X0 Y10", "X0 Y0"};
  for (int i = 0; i < moves; ++i) lines.push_back(std::string("G1 ") + corners[i % 4] + " E0.4");
  return lines;
}

void BM_TwoHourPrint(benchmark::State& state) {
  auto lines = two_hour_print();
  for (auto _ : state) {
    sim::SimHost host({});
    host.start(sim::ConfigText::from_text(kPrinter, "bench.cfg", "/tmp"));
    auto& job = host.printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
    // A print that stops at a refused line would measure nothing but its start.
    std::size_t finished_lines = 0;
    job.set_line_observer([&](std::size_t, const std::string&, sim::SimPrintJob::LinePhase phase) {
      if (phase == sim::SimPrintJob::LinePhase::Finished) ++finished_lines;
    });
    double started = host.reactor().monotonic();
    auto wall_start = std::chrono::steady_clock::now();
    job.start("two_hours", lines);
    host.run_until([&] { return !job.is_active(); }, 1e6);
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_start;
    if (finished_lines != lines.size()) {
      state.SkipWithError("the print stopped before its end");
      return;
    }
    double simulated = host.reactor().monotonic() - started;
    state.counters["simulated_s"] = simulated;
    state.counters["sim_per_real"] = simulated / wall.count();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_TwoHourPrint)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
