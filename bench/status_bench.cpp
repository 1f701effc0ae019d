// Cost of the status a front end polls (several times a second, per subscribed object): the
// controller's whole picture, and one slot's, on the embedded printer with four boxes whose
// sixteen slots are described, with a realistically full saved-variables file.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "apps/feedbox/session.h"

namespace {

class StatusBench {
 public:
  StatusBench() : dir_(std::filesystem::temp_directory_path() / "feedhub-status-bench") {
    std::filesystem::remove_all(dir_);
    feedbox::SessionOptions options;
    options.boxes = 4;
    options.data_dir = dir_.string();
    options.output = [](const std::string&) {};
    session_ = std::make_unique<feedbox::Session>(std::move(options));
    session_->advance(100);
    for (int slot = 0; slot < 16; ++slot)
      session_->run_command("BOX_SET_SLOT SLOT=" + std::to_string(slot) + " FILAMENT=" +
                            std::to_string(slot % 10 + 1) + " COLOR=" + std::to_string(slot + 1));
    for (int i = 0; i < 200; ++i)
      session_->run_command("SAVE_VARIABLE VARIABLE=key_" + std::to_string(i) +
                            " VALUE=" + std::to_string(i));
  }
  ~StatusBench() {
    session_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  klippy::PrinterObject& object(const std::string& name) {
    return *session_->host().printer().find_object(name);
  }
  double now() { return session_->host().reactor().monotonic(); }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<feedbox::Session> session_;
};

void BM_ControllerStatusFourBoxes(benchmark::State& state) {
  StatusBench bench;
  klippy::PrinterObject& hub = bench.object("feedhub");
  const double now = bench.now();
  for (auto _ : state) benchmark::DoNotOptimize(hub.get_status(now));
}
BENCHMARK(BM_ControllerStatusFourBoxes)->Unit(benchmark::kMicrosecond);

void BM_SlotStatus(benchmark::State& state) {
  StatusBench bench;
  klippy::PrinterObject& lane = bench.object("feedlane slot5");
  const double now = bench.now();
  for (auto _ : state) benchmark::DoNotOptimize(lane.get_status(now));
}
BENCHMARK(BM_SlotStatus)->Unit(benchmark::kMicrosecond);

}  // namespace
