// Hash table: insertion and lookup at the sizes the server uses, with fixed and growing
// bucket counts, and the cost of many small tables.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hashtable/hashtable.h"
#include "utils/refobj.h"

namespace {

struct object : kt::ref_object {
  uint64_t id = 0;
};
using table64 = kt::hashtable<uint64_t, kt::ref_ptr<object>>;
using table_str = kt::hashtable<std::string, kt::ref_ptr<object>>;

// range(0): entries; range(1): 1 to let the table grow.
void BM_HashtableInsertU64(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  auto obj = kt::make_ref<object>();
  for (auto _ : state) {
    table64 t(100);
    t.set_auto_grow(state.range(1) != 0);
    for (uint64_t i = 0; i < n; ++i) t.insert_l(i * 2654435761u, obj);
    benchmark::DoNotOptimize(t.count());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_HashtableInsertU64)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);

void BM_HashtableGetRwString(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  table_str t(100);
  t.set_auto_grow(state.range(1) != 0);
  std::vector<std::string> names;
  for (uint64_t i = 0; i < n; ++i) {
    names.push_back("user" + std::to_string(i));
    t.insert_l(names.back(), kt::make_ref<object>());
  }
  size_t i = 0;
  for (auto _ : state) {
    kt::ref_ptr<object> v = t.get_rw(names[i]);
    benchmark::DoNotOptimize(v.get());
    if (++i == names.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HashtableGetRwString)->Args({1000, 0})->Args({100000, 0})->Args({100000, 1});

// 300,000 small tables (three per user for 100,000 users), two entries in one of them.
void BM_HashtableManySmallTables(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  auto obj = kt::make_ref<object>();
  for (auto _ : state) {
    std::vector<std::unique_ptr<table64>> tables;
    tables.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      tables.push_back(std::make_unique<table64>(10));
      if (i % 3 == 0) {
        tables.back()->insert_l(i, obj);
        tables.back()->insert_l(i + 1, obj);
      }
    }
    benchmark::DoNotOptimize(tables.data());
  }
  state.counters["table_bytes"] = sizeof(table64);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_HashtableManySmallTables)->Arg(300000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
