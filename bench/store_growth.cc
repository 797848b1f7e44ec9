// store_growth.cc - what a flood costs: new parameter names added one by one
// as the list grows, and pushes and pops of the command-value queue.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/cmd_queue.h"
#include "store/file_tables.h"
#include "store/operations.h"
#include "store/param_list.h"

namespace cms::bench {
namespace {

constexpr int kBatch = 1000;

// Random names, so that new ones land anywhere in the sorted list.
std::vector<std::string> Names(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    char name[store::kNameSize];
    snprintf(name, sizeof name, "flood_%u_%d", static_cast<unsigned>(rng()), i);
    names.emplace_back(name);
  }
  return names;
}

void FreshStore() {
  store::ResetParamList();
  store::initParamList();
  store::initialConfigLocationArray();
  store::LocationAdd(store::kTempUserFile, store::kUserTable);
}

size_t HeapInUse() { return mallinfo2().uordblks; }

// The list holds N names; time per set of a new name (which adds it, as a
// client's set of an unknown name does), over the next 1,000 names.
void BM_AddNewName(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<std::string> names = Names(n + kBatch, 7);
  int failed = 0;
  size_t heap_per_name = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FreshStore();
    for (int i = 0; i < n; ++i)
      failed += store::SetParamValue(names[i].c_str(), "v", 2) == 0;
    const size_t before = HeapInUse();
    state.ResumeTiming();
    for (int i = n; i < n + kBatch; ++i)
      failed += store::SetParamValue(names[i].c_str(), "v", 2) == 0;
    heap_per_name = (HeapInUse() - before) / kBatch;
  }
  if (failed != 0) state.SkipWithError("a set failed");
  state.counters["per_add"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kBatch,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["heap_bytes_per_name"] = static_cast<double>(heap_per_name);
  FreshStore();
}
BENCHMARK(BM_AddNewName)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(200000)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 100,000 pushes, each followed by a pop, with `depth` values waiting
// throughout under 64 names.
void BM_PushPop(benchmark::State& state) {
  const int depth = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int i = 0; i < 64; ++i) {
    char name[store::kNameSize];
    snprintf(name, sizeof name, "queue_%d", i);
    names.emplace_back(name);
  }
  constexpr int kOps = 100000;
  int failed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    core::ResetCmdList();
    for (int i = 0; i < depth; ++i)
      failed += core::PushCmdValue(names[i % 64].c_str(), "waiting") == 0;
    state.ResumeTiming();
    for (int i = 0; i < kOps; ++i) {
      const char* name = names[(depth + i) % 64].c_str();
      failed += core::PushCmdValue(name, "value") == 0;
      failed += core::PopCmdValue(names[i % 64].c_str()) == nullptr;
    }
  }
  if (failed != 0) state.SkipWithError("a push or pop failed");
  state.counters["per_push_pop"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kOps,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  core::ResetCmdList();
}
BENCHMARK(BM_PushPop)->Arg(0)->Arg(4000)->Unit(benchmark::kMillisecond);

// Heap held per queued value with the queue full, for values of `length`
// characters under one name and under a name each.
void BM_QueuedValueMemory(benchmark::State& state) {
  const std::string value(static_cast<size_t>(state.range(0)), 'v');
  const bool name_each = state.range(1) != 0;
  size_t per_value = 0;
  for (auto _ : state) {
    core::ResetCmdList();
    const size_t before = HeapInUse();
    for (size_t i = 0; i < core::kCmdQueueLimit; ++i) {
      char name[store::kNameSize] = "q";
      if (name_each) snprintf(name, sizeof name, "q%zu", i);
      core::PushCmdValue(name, value.c_str());
    }
    per_value = (HeapInUse() - before) / core::kCmdQueueLimit;
    // Beyond the cap nothing more is held.
    if (core::PushCmdValue("q", value.c_str()) != 0)
      state.SkipWithError("push beyond the cap accepted");
  }
  state.counters["heap_bytes_per_value"] = static_cast<double>(per_value);
  core::ResetCmdList();
}
BENCHMARK(BM_QueuedValueMemory)
    ->Args({5, 0})
    ->Args({799, 0})
    ->Args({799, 1})
    ->Iterations(3);

}  // namespace
}  // namespace cms::bench
