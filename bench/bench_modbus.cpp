// The Modbus CRC over 1 MiB of hex text (the way an RTU frame travels through the passthrough),
// next to a memcpy of the same bytes. Throughput is counted in characters of hex text.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/zyl_test_peer.h"

namespace {

constexpr size_t kTextBytes = 1 << 20;

const std::string& hexText() {
  static const std::string text = [] {
    std::mt19937 rng(7);
    std::string t(kTextBytes, '0');
    for (char& c : t) c = "0123456789ABCDEFabcdef"[rng() % 22];
    return t;
  }();
  return text;
}

void BM_CalculateCrc(benchmark::State& state) {
  const std::string& text = hexText();
  for (auto _ : state) benchmark::DoNotOptimize(ZylTestPeer::calculateCRC(text.c_str()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_CalculateCrc);

void BM_MemcpyReference(benchmark::State& state) {
  const std::string& text = hexText();
  std::vector<char> copy(text.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), text.data(), text.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_MemcpyReference);

// One RTU read frame: what each heater poll computes.
void BM_CalculateCrcOneFrame(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ZylTestPeer::calculateCRC("010301920002"));
}
BENCHMARK(BM_CalculateCrcOneFrame);

}  // namespace

BENCHMARK_MAIN();
