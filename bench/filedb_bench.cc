// Record file store: single-record operations and a full walk, on files of the size the
// server keeps (323-byte user records).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "db/filedb_fixed.h"

namespace {

constexpr uint32_t kRecordSize = 323;

struct bench_dir {
  bench_dir() {
    char tmpl[] = "/tmp/filedb_bench.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    path = tmpl;
  }
  ~bench_dir() { std::filesystem::remove_all(path); }
  std::string path;
};

bench_dir& dir() {
  static bench_dir d;
  return d;
}

std::vector<uint8_t> make_record(uint64_t id) {
  std::vector<uint8_t> r(kRecordSize, static_cast<uint8_t>(id));
  std::memcpy(r.data(), &id, sizeof id);
  return r;
}

// A store holding records 1..n, built afresh for every benchmark.
kt::filedb_fixed make_store(uint64_t n) {
  kt::filedb_fixed db;
  const std::string path = dir().path + "/records." + std::to_string(n);
  std::filesystem::remove(path);
  if (db.init(path, kRecordSize, 7) != 0) std::abort();
  int fd = db.fdopen();
  for (uint64_t id = 1; id <= n; ++id) {
    std::vector<uint8_t> r = make_record(id);
    if (db.append_offset(fd, nullptr, &id, r.data()) != 0) std::abort();
  }
  db.fdclose(fd);
  return db;
}

uint64_t next_key(uint64_t& state, uint64_t n) {
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  return 1 + (state >> 33) % n;
}

void BM_FiledbInsert(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  kt::filedb_fixed db = make_store(n);
  uint64_t id = n;
  for (auto _ : state) {
    ++id;
    std::vector<uint8_t> r = make_record(id);
    if (db.insert(0, &id, r.data()) != 0) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FiledbInsert)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_FiledbFind(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  kt::filedb_fixed db = make_store(n);
  std::vector<uint8_t> out(kRecordSize);
  uint64_t rng = 1;
  for (auto _ : state) {
    uint64_t id = next_key(rng, n);
    if (db.find(0, &id, out.data()) != 0) state.SkipWithError("find failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FiledbFind)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_FiledbRemove(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  kt::filedb_fixed db = make_store(n);
  uint64_t rng = 2;
  for (auto _ : state) {
    uint64_t id = next_key(rng, n);
    if (db.remove(0, &id) != 0) state.SkipWithError("remove failed");
    state.PauseTiming();  // put it back so the file keeps its size
    std::vector<uint8_t> r = make_record(id);
    db.append_offset(0, nullptr, &id, r.data());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FiledbRemove)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_FiledbList(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  kt::filedb_fixed db = make_store(n);
  for (auto _ : state) {
    uint64_t sum = 0;
    int r = db.list(0, [&](const uint8_t* rec, uint32_t) {
      uint64_t id;
      std::memcpy(&id, rec, sizeof id);
      sum += id;
      return 0;
    });
    if (r != 0 || sum != n * (n + 1) / 2) state.SkipWithError("list failed");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n * kRecordSize));
}
BENCHMARK(BM_FiledbList)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
