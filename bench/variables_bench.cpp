// Writing and reading the saved-variables file as it grows: both must stay linear (n log n)
// in the number of keys: every save writes the whole file, and start reads it.
#include <benchmark/benchmark.h>

#include <string>

#include "klippy/host/variables_file.h"

namespace {

klippy::VariableMap many_variables(int count) {
  klippy::VariableMap vars;
  for (int i = 0; i < count; ++i)
    vars.emplace("slot_key_" + std::to_string(i), "slot" + std::to_string(i % 16));
  return vars;
}

void BM_FormatVariables(benchmark::State& state) {
  const klippy::VariableMap vars = many_variables(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(klippy::format_variables(vars));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FormatVariables)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

void BM_ParseVariables(benchmark::State& state) {
  const std::string text =
      klippy::format_variables(many_variables(static_cast<int>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(klippy::parse_variables(text, "bench.cfg"));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseVariables)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

}  // namespace
