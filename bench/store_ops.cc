// store_ops.cc - get and set on a store of 100,000 parameters, and a burst
// of sets over 10 files followed by one write-back.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/store_tree.h"
#include "store/operations.h"
#include "store/param_list.h"
#include "store/write_back.h"
#include "testing/stub_programs.h"

namespace cms::bench {
namespace {

constexpr int kParams = 100000;

// One loaded tree for the whole run.
StoreTree& Tree() {
  static StoreTree* tree = [] {
    auto* t = new StoreTree(kParams);
    // "sync &" after each user-side file goes to a stub: the figure is the
    // daemon's work (the copy itself still fsyncs and calls sync()).
    cms::testing::StubPrograms stubs(t->root());
    stubs.AddStub("/stub_bin/sync", "");
    setenv("PATH", (t->root().Host("/stub_bin") + ":" + getenv("PATH")).c_str(),
           1);
    t->Load();
    return t;
  }();
  return *tree;
}

// Names in random order, each read on the side that holds it.
void BM_Get(benchmark::State& state) {
  StoreTree& tree = Tree();
  const std::vector<std::string>& names = tree.names();
  size_t i = 0;
  int missed = 0;
  for (auto _ : state) {
    const int mode = tree.file_of(i) < kIspFiles ? 3 : 1;
    missed += store::GetParamValue(names[i].c_str(), mode) == nullptr;
    if (++i == names.size()) i = 0;
  }
  if (missed != 0) state.SkipWithError("a get found nothing");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Get);

void BM_Set(benchmark::State& state) {
  StoreTree& tree = Tree();
  const std::vector<std::string>& names = tree.names();
  size_t i = 0;
  int round = 0;
  int failed = 0;
  for (auto _ : state) {
    const int mode = tree.file_of(i) < kIspFiles ? 4 : 2;
    failed += store::SetParamValue(names[i].c_str(), round % 2 ? "a" : "b",
                                   mode) == 0;
    if (++i == names.size()) {
      i = 0;
      ++round;
    }
  }
  if (failed != 0) state.SkipWithError("a set failed");
  state.SetItemsProcessed(state.iterations());
  // Leave nothing for the write-back benchmark to pick up (the timed loop
  // has ended).
  tree.Load();
}
BENCHMARK(BM_Set);

// 1,000 sets, 100 in each of 10 user-side files, then one write-back.
void BM_BurstThenWriteBack(benchmark::State& state) {
  StoreTree& tree = Tree();
  std::vector<const char*> burst;
  for (size_t i = 0; i < tree.names().size() && burst.size() < 1000; ++i) {
    const int f = tree.file_of(i);
    if (f >= kIspFiles && f < kIspFiles + 10) {
      burst.push_back(tree.names()[i].c_str());
    }
  }
  // Kept across runs, so that each burst really changes every value.
  static int round = 0;
  int files = 0;
  for (auto _ : state) {
    const char* value = ++round % 2 ? "burst_a" : "burst_b";
    for (const char* name : burst) {
      store::SetParamValue(name, value, store::kModeSetUser);
    }
    files = store::writeParamToFile();
  }
  state.counters["sets"] = static_cast<double>(burst.size());
  state.counters["files_written"] = files;
  if (files != 10) state.SkipWithError("expected 10 files written");
}
BENCHMARK(BM_BurstThenWriteBack)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace cms::bench
