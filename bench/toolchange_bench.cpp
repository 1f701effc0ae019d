// Wall time of the box's tool-change road in the simulated printer: one complete tool
// change (cut, unload, load, purge) and the whole four-colour demo print, both on the
// embedded default printer with the filament world behind the box sensors.
#include <benchmark/benchmark.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "apps/feedbox/embedded_files.h"
#include "apps/feedbox/session.h"
#include "sim/host/jinja_templates.h"
#include "sim/host/print_job.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> tool_change(int from, int to) {
  const std::string f = std::to_string(from), t = std::to_string(to);
  return {"TOOL_CHANGE_START F=" + f + " T=" + t,
          "CUT_FILAMENT T=" + f,
          "EXTRUDER_UNLOAD SLOT=slot" + f,
          "EXTRUDER_LOAD SLOT=slot" + t,
          "MOVE_TO_TRASH",
          "G1 E60 F300",
          "CLEAR_FLUSH",
          "CLEAR_OOZE",
          "TOOL_CHANGE_END"};
}

void run_print(sim::SimHost& host, std::vector<std::string> lines) {
  auto& job = host.printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  job.start("bench.gcode", std::move(lines));
  host.run_until([&] { return !job.is_active() || job.is_paused(); }, 1e7);
}

// Arg: milliseconds each fsync takes (0: this machine's disk; 100: a slow SD card, where
// every file written during a change holds the change up). Counts the files written.
void BM_OneToolChange(benchmark::State& state) {
  feedbox::Session session({.boxes = 1});
  sim::SimHost& host = session.host();
  host.advance(1.0);
  run_print(host, {"M109 S210", "G28", "G90", "M83", "EXTRUDER_LOAD SLOT=slot0"});
  const auto fsync_delay = std::chrono::milliseconds(state.range(0));
  long long fsyncs = 0;
  host.printer().file_writer().set_fsync_hook([&] {
    ++fsyncs;
    std::this_thread::sleep_for(fsync_delay);
  });
  int from = 0;
  double simulated_s = 0;
  for (auto _ : state) {
    const double start = host.reactor().monotonic();
    run_print(host, tool_change(from, 1 - from));
    simulated_s += host.reactor().monotonic() - start;
    from = 1 - from;
  }
  host.printer().file_writer().set_fsync_hook({});
  state.counters["simulated_s"] =
      benchmark::Counter(simulated_s, benchmark::Counter::kAvgIterations);
  state.counters["fsyncs"] =
      benchmark::Counter(static_cast<double>(fsyncs), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_OneToolChange)->Arg(0)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DemoPrint(benchmark::State& state) {
  const auto setup = lines_of(feedbox::embedded_file("demo_setup.gcode"));
  const auto lines = lines_of(feedbox::embedded_file("demo.gcode"));
  double simulated_s = 0;
  for (auto _ : state) {
    feedbox::Session session({.boxes = 2});
    session.host().advance(1.0);
    for (const std::string& line : setup) session.host().run_command(line);
    const double start = session.host().reactor().monotonic();
    run_print(session.host(), lines);
    simulated_s += session.host().reactor().monotonic() - start;
  }
  state.counters["simulated_s"] =
      benchmark::Counter(simulated_s, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_DemoPrint)->Unit(benchmark::kMillisecond);

// One macro body rendered by the host's Jinja2 in the embedded interpreter: a tool macro's
// test, which reads the saved variables three times (the part of a tool change that
// templates cost).
void BM_ToolMacroRender(benchmark::State& state) {
  feedbox::Session session({.boxes = 1});
  auto& templates = session.host().printer().lookup_object<sim::TemplateEnvironment>(
      sim::TemplateEnvironment::kName);
  const auto body = templates.load_template(
      "gcode_macro BENCH:gcode",
      "{% if printer.save_variables.variables.last_load_slot|default('slot-1') != "
      "printer.save_variables.variables['value_t' ~ params.T]|default('slot' ~ params.T) %}\n"
      "EXTRUDER_UNLOAD SLOT={printer.save_variables.variables.last_load_slot}\n"
      "LOAD_TOOL T={params.T}\n{% endif %}");
  const std::map<std::string, klippy::Value> variables;
  for (auto _ : state) {
    benchmark::DoNotOptimize(body->render({.variables = &variables, .params = {{"T", "1"}}}));
  }
}
BENCHMARK(BM_ToolMacroRender)->Unit(benchmark::kMicrosecond);

}  // namespace
