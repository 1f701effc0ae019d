// Wall time of the simulated printer with a large saved-variables file (users keep their
// own keys there beside the box's): start, one save by the host's SAVE_VARIABLE, one save
// by the box, and one EXTRUDER_LOAD. Arg: keys in the file besides the box's.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "apps/feedbox/session.h"

namespace {

constexpr const char* kVariablesPath = "home/zur/printer_data/config/saved_variables.cfg";

// A data folder whose saved-variables file holds `keys` user keys, removed at the end.
class BigFileFolder {
 public:
  explicit BigFileFolder(long long keys) {
    std::string pattern = (std::filesystem::temp_directory_path() / "bench-vars-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed: set TMPDIR");
    path_ = pattern;
    const std::filesystem::path file = std::filesystem::path(path_) / kVariablesPath;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file);
    out << "[Variables]\n";
    // Sorted as the host writes them, with the kinds of value users keep.
    for (long long i = 0; i < keys; ++i) {
      const std::string n = std::to_string(1000000 + i);
      if (i % 3 == 0)
        out << "user_" << n << " = 'spool " << n << "'\n";
      else if (i % 3 == 1)
        out << "user_" << n << " = " << i * 0.25 << "\n";
      else
        out << "user_" << n << " = [" << i << ", 'pla', {'t': 210}]\n";
    }
    out << "\n";
  }
  ~BigFileFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  BigFileFolder(const BigFileFolder&) = delete;
  BigFileFolder& operator=(const BigFileFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

feedbox::SessionOptions options_for(const BigFileFolder& folder) {
  return {.boxes = 1, .data_dir = folder.path()};
}

void BM_StartWithBigFile(benchmark::State& state) {
  const BigFileFolder folder(state.range(0));
  std::optional<feedbox::Session> session;
  for (auto _ : state) {
    session.emplace(options_for(folder));
    state.PauseTiming();
    session.reset();
    state.ResumeTiming();
  }
}

void BM_HostSaveWithBigFile(benchmark::State& state) {
  const BigFileFolder folder(state.range(0));
  feedbox::Session session(options_for(folder));
  int value = 0;
  for (auto _ : state)
    session.run_command("SAVE_VARIABLE VARIABLE=bench_value VALUE=" + std::to_string(++value));
}

void BM_BoxSaveWithBigFile(benchmark::State& state) {
  const BigFileFolder folder(state.range(0));
  feedbox::Session session(options_for(folder));
  int slot = 0;
  for (auto _ : state) {
    slot = 1 - slot;
    session.run_command("BOX_MAP_TOOL T=0 SLOT=slot" + std::to_string(slot));
  }
}

void BM_ExtruderLoadWithBigFile(benchmark::State& state) {
  const BigFileFolder folder(state.range(0));
  feedbox::Session session(options_for(folder));
  session.advance(1.0);
  for (const char* line : {"M109 S210", "G28", "G90", "M83"}) session.run_command(line);
  for (auto _ : state) {
    session.run_command("EXTRUDER_LOAD SLOT=slot0");
    state.PauseTiming();
    session.run_command("EXTRUDER_UNLOAD SLOT=slot0");
    state.ResumeTiming();
  }
}

void sizes(benchmark::internal::Benchmark* bench) {
  bench->Arg(10000)->Arg(800000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_StartWithBigFile)->Apply(sizes);
BENCHMARK(BM_HostSaveWithBigFile)->Apply(sizes);
BENCHMARK(BM_BoxSaveWithBigFile)->Apply(sizes);
BENCHMARK(BM_ExtruderLoadWithBigFile)->Apply(sizes);

}  // namespace
