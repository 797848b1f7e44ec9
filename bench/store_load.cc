// store_load.cc - start-up load of generated configuration trees.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/store_tree.h"
#include "store/loader.h"
#include "store/param_list.h"

namespace cms::bench {
namespace {

// Loads a tree of state.range(0) parameters in 100 files. Reported: the
// time of one load on a warm heap, the first load of the process (whose
// heap pages are still to be faulted in, as at boot), the heap the loaded
// store holds, and the process's peak resident set (run one size per
// process to read it per size).
void BM_LoadTree(benchmark::State& state) {
  const StoreTree tree(static_cast<int>(state.range(0)));
  const auto start = std::chrono::steady_clock::now();
  tree.Load();
  const std::chrono::duration<double, std::milli> first =
      std::chrono::steady_clock::now() - start;
  for (auto _ : state) {
    state.PauseTiming();
    StoreTree::Clear();
    state.ResumeTiming();
    store::initParamFile();
  }
  if (store::CheckListLength() != state.range(0)) {
    state.SkipWithError("wrong parameter count");
  }
  StoreTree::Clear();
  const size_t empty = HeapInUse();
  tree.Load();
  state.counters["first_load_ms"] = first.count();
  state.counters["params"] = static_cast<double>(store::CheckListLength());
  state.counters["store_MiB"] =
      static_cast<double>(HeapInUse() - empty) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024.0;
}
BENCHMARK(BM_LoadTree)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace cms::bench
