// Reading a setting costs one stat of the settings file when nothing changed; a dialog
// reads a few dozen when it opens. Baseline: the bare stat() call.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "settings/registry.h"

namespace {

struct BenchConfig {
  BenchConfig() {
    char pattern[] = "/tmp/vantorel-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    ::setenv("VANTOREL_CONFIG_HOME", dir.c_str(), 1);
    for (int s = 0; s < 40; ++s)
      for (int v = 0; v < 20; ++v)
        (void)CRegistry::Write("Dialog\\Section" + std::to_string(s), "Value" + std::to_string(v),
                               v, CRegistry::TYPE_INT);
  }
  std::string dir;
};

BenchConfig& Config() {
  static BenchConfig config;
  return config;
}

void BM_StatBaseline(benchmark::State& state) {
  Config();
  std::string path = CRegistry::StorePath(0);
  struct stat st {};
  for (auto _ : state) benchmark::DoNotOptimize(::stat(path.c_str(), &st));
}
BENCHMARK(BM_StatBaseline);

void BM_ReadInteger(benchmark::State& state) {
  Config();
  int v = 0;
  for (auto _ : state) {
    CRegistry::Read("Dialog\\Section39", "Value19", 0, v, CRegistry::TYPE_INT);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_ReadInteger);

void BM_WriteChangedValue(benchmark::State& state) {
  Config();
  int i = 0;
  for (auto _ : state) (void)CRegistry::Write("Bench", "Counter", ++i, CRegistry::TYPE_INT);
}
BENCHMARK(BM_WriteChangedValue)->Unit(benchmark::kMicrosecond);

}  // namespace
