// Reading a print file for the pre-flight check: a slicer's file of ordinary lines, and a
// file of one line without a newline (a broken or foreign file). Both must cost bounded
// memory and let the host's event loop run every MiB; the peak resident size of the process
// is reported as a counter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <istream>
#include <streambuf>
#include <string>

#include "klippy/extras/feedhub/print_plan.h"

namespace {

// `size` bytes made on the fly (so the file itself costs no memory): `line` repeated.
class GeneratedFile : public std::streambuf {
 public:
  GeneratedFile(std::string line, size_t size) : line_(std::move(line)), left_(size) {
    for (size_t i = 0; i < buffer_.size(); ++i) buffer_[i] = line_[i % line_.size()];
  }

 protected:
  int_type underflow() override {
    if (left_ == 0) return traits_type::eof();
    const size_t count = std::min(left_, kChunk);
    const size_t start = offset_ % line_.size();
    offset_ += count;
    left_ -= count;
    setg(buffer_.data() + start, buffer_.data() + start, buffer_.data() + start + count);
    return traits_type::to_int_type(*gptr());
  }

 private:
  static constexpr size_t kChunk = 1 << 16;
  std::string line_;
  size_t left_;
  size_t offset_ = 0;
  std::array<char, kChunk + 4096> buffer_{};
};

double peak_rss_mb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.;
}

void read_file(benchmark::State& state, const std::string& line) {
  const auto size = static_cast<size_t>(state.range(0)) << 20;
  long yields = 0;
  for (auto _ : state) {
    GeneratedFile file(line, size);
    std::istream in(&file);
    const feedhub::PrintPlan plan = feedhub::read_print_plan(in, [&yields] { ++yields; });
    benchmark::DoNotOptimize(plan.tools.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["peak_rss_MB"] = peak_rss_mb();
  state.counters["yields_per_read"] =
      static_cast<double>(yields) / static_cast<double>(state.iterations());
}

void BM_PreflightSlicerLines(benchmark::State& state) {
  read_file(state, "G1 X10.5 Y20.25 E0.0312\n");
}
void BM_PreflightOneHugeLine(benchmark::State& state) {
  read_file(state, "x");
}

}  // namespace

// Sizes in MiB; the one-line file of 300 MiB is the case that held 1.47 GB before.
BENCHMARK(BM_PreflightSlicerLines)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreflightOneHugeLine)->Arg(64)->Arg(300)->Unit(benchmark::kMillisecond);
