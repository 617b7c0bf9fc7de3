// SPDX-License-Identifier: MPL-2.0
// Binary codec throughput: encoding and decoding 10,000 DataValues (Double value, status,
// source timestamp) and a Variant holding 10,000 Int32, each next to a memcpy of the same
// bytes as the ceiling. Reports items per second, allocations per decoded value (global
// operator new is counted here), and after the run the cost of each benchmark relative to
// its memcpy.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/builtin_types.h"

// ---------------------------------------------------------------------------------------
// Allocation counting

namespace {
std::atomic<uint64_t> gAllocations{0};
// Kept out of line so that the compiler does not pair an inlined free() with a new-expression.
__attribute__((noinline)) void Release(void* p) noexcept {
  std::free(p);
}
}  // namespace

void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
  Release(p);
}
void operator delete[](void* p) noexcept {
  Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  Release(p);
}

namespace varo::ua {
namespace {

constexpr int kCount = 10000;

std::vector<std::unique_ptr<uaDataValue>> MakeDataValues() {
  std::vector<std::unique_ptr<uaDataValue>> values;
  values.reserve(kCount);
  const TDateTime base = varo::EncodeDateTime({2024, 5, 17, 6, 0, 0, 0});
  for (int i = 0; i < kCount; ++i) {
    auto dv = std::make_unique<uaDataValue>(std::make_unique<uaVariant>(i * 0.25));
    dv->StatusCode = (i % 7 == 0) ? 0x40000000u : 0x00000001u;  // non-zero: on the wire
    dv->SourceTimestamp = base + i / 86400.0;
    values.push_back(std::move(dv));
  }
  return values;
}

const std::vector<std::unique_ptr<uaDataValue>>& DataValues() {
  static const auto values = MakeDataValues();
  return values;
}

ByteArray EncodeDataValues() {
  TuaBinaryEncoder e;
  for (const auto& dv : DataValues()) e.Write(dv.get(), "");
  return e.TakeBytes();
}
const ByteArray& DataValueBytes() {
  static const ByteArray bytes = EncodeDataValues();
  return bytes;
}

const uaVariant& Int32Variant() {
  static const uaVariant v = [] {
    std::vector<int32_t> a(kCount);
    for (int i = 0; i < kCount; ++i) a[i] = i * 7919 - 5000000;
    return uaVariant(std::move(a));
  }();
  return v;
}
const ByteArray& Int32Bytes() {
  static const ByteArray bytes = [] {
    TuaBinaryEncoder e;
    e.Write(&Int32Variant(), "");
    return e.TakeBytes();
  }();
  return bytes;
}

void BM_DataValue_Encode(benchmark::State& state) {
  const auto& values = DataValues();
  varo::ByteBuffer buffer;
  buffer.reserve(DataValueBytes().size());
  TuaBinaryEncoder e(buffer);
  for (auto _ : state) {
    buffer.clear();
    for (const auto& dv : values) e.Write(dv.get(), "");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(DataValueBytes().size()));
}
BENCHMARK(BM_DataValue_Encode);

void BM_DataValue_Decode(benchmark::State& state) {
  const ByteArray& bytes = DataValueBytes();
  std::vector<std::unique_ptr<uaDataValue>> out(kCount);
  uint64_t allocations = 0;
  for (auto _ : state) {
    // Freeing the previous round's values is not part of decoding.
    state.PauseTiming();
    for (auto& p : out) p.reset();
    state.ResumeTiming();
    const uint64_t before = gAllocations.load(std::memory_order_relaxed);
    TuaBinaryDecoder d(bytes);
    for (auto& p : out) d.Read(p, "");
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  state.counters["allocs_per_value"] = benchmark::Counter(static_cast<double>(allocations) /
                                                          (static_cast<double>(state.iterations()) * kCount));
}
BENCHMARK(BM_DataValue_Decode);

// The same bytes read into data values held by value in one vector, as a response's result
// array can be: the variant inside each value is the only allocation.
void BM_DataValue_DecodeByValue(benchmark::State& state) {
  const ByteArray& bytes = DataValueBytes();
  std::vector<uaDataValue> out(kCount);
  uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& v : out) v.Value.reset();
    state.ResumeTiming();
    const uint64_t before = gAllocations.load(std::memory_order_relaxed);
    TuaBinaryDecoder d(bytes);
    for (auto& v : out) d.Read(v, "");
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  state.counters["allocs_per_value"] = benchmark::Counter(static_cast<double>(allocations) /
                                                          (static_cast<double>(state.iterations()) * kCount));
}
BENCHMARK(BM_DataValue_DecodeByValue);

void BM_DataValue_Memcpy(benchmark::State& state) {
  const ByteArray& bytes = DataValueBytes();
  ByteArray target(bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DataValue_Memcpy);

void BM_Int32Array_Encode(benchmark::State& state) {
  const uaVariant& v = Int32Variant();
  varo::ByteBuffer buffer;
  buffer.reserve(Int32Bytes().size());
  TuaBinaryEncoder e(buffer);
  for (auto _ : state) {
    buffer.clear();
    e.Write(&v, "");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Int32Bytes().size()));
}
BENCHMARK(BM_Int32Array_Encode);

void BM_Int32Array_Decode(benchmark::State& state) {
  const ByteArray& bytes = Int32Bytes();
  uint64_t allocations = 0;
  for (auto _ : state) {
    const uint64_t before = gAllocations.load(std::memory_order_relaxed);
    TuaBinaryDecoder d(bytes);
    std::unique_ptr<uaVariant> v;
    d.Read(v, "");
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(v.get());
    state.PauseTiming();
    v.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  state.counters["allocs_per_array"] =
      benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Int32Array_Decode);

void BM_Int32Array_Memcpy(benchmark::State& state) {
  const ByteArray& bytes = Int32Bytes();
  ByteArray target(bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Int32Array_Memcpy);

// Prints the usual table and keeps each benchmark's time per iteration for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      times_[r.benchmark_name()] = r.GetAdjustedCPUTime();  // CPU time: steadier on a loaded machine
      units_[r.benchmark_name()] = r.time_unit;
    }
  }

  void PrintSummary() const {
    std::printf("\nRelative cost (CPU time per run divided by that of the memcpy of the same bytes):\n");
    for (const char* group : {"BM_DataValue", "BM_Int32Array"}) {
      const double ref = ns(std::string(group) + "_Memcpy");
      if (ref <= 0) continue;
      for (const char* op : {"_Encode", "_Decode", "_DecodeByValue"}) {
        const double t = ns(std::string(group) + op);
        if (t <= 0) continue;
        std::printf("  %-28s %8.1f x memcpy   %7.2f ns per value\n", (std::string(group) + op).c_str(),
                    t / ref, t / kCount);
      }
    }
  }

 private:
  double ns(const std::string& name) const {
    auto it = times_.find(name);
    if (it == times_.end()) return 0;
    return it->second * 1e9 / benchmark::GetTimeUnitMultiplier(units_.at(name));
  }
  std::map<std::string, double> times_;
  std::map<std::string, benchmark::TimeUnit> units_;
};

}  // namespace
}  // namespace varo::ua

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  varo::ua::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
