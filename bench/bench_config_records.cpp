// Marshal and unmarshal of a full configuration document, against a memcpy of the same bytes.
// Every heap allocation is counted (bench/alloc_counter.h), expat's own included.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/alloc_counter.h"
#include "config/xml/writer.h"
#include "zyl/FlashMemory.h"
#include "zyl/VolatileFlashMemory.h"

namespace {

FlashMemory::c_flashMemory fullRecord() {
  FlashMemory::c_flashMemory r;
  r.set_version(L"1.0");
  r.set_hardwareVersion(L"Gamma");
  r.set_frequency(L"00015000");
  r.set_massPot(L"7F");
  r.set_sourcePSU(L"Spellman MX8PN24/720");
  r.set_lensPSU(L"Applied MS009MZZ652");
  r.set_dynodePSU(L"Spellman MXP10PN/15");
  r.set_capillaryHeater(L"Watlow PM3 Series");
  r.set_desolvationGasHeater(L"Watlow PM3 Series");
  r.set_apciGasHeater(L"Watlow PM3 Series");
  r.set_serialNumber(L"ZY-2024-000123");
  r.set_qcData(
      "<qc date=\"2024-01-02\"><test name=\"tune\">pass</test><test name=\"mass\">0.12</test>"
      "<!-- operator: A &amp; B --></qc>");
  r.set_piraniType(L"Internal");
  r.set_housingType(L"Generation 2");
  r.set_headAmpType(L"Fast Amp");
  r.set_rfBoxType(L"Si5351 Adjustable");
  return r;
}

const std::string& fullDocument() {
  static const std::string text = [] {
    std::string t;
    fullRecord().marshal(t);
    return t;
  }();
  return text;
}

// Reports allocations per iteration of the timed loop.
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State& state)
      : m_state(state), m_news(zyl::bench::news.load()), m_mallocs(zyl::bench::mallocs.load()) {}
  ~AllocationCounter() {
    const auto per = benchmark::Counter::kAvgIterations;
    m_state.counters["new"] = benchmark::Counter(double(zyl::bench::news.load() - m_news), per);
    m_state.counters["malloc"] =
        benchmark::Counter(double(zyl::bench::mallocs.load() - m_mallocs), per);
    m_state.SetBytesProcessed(std::int64_t(m_state.iterations()) *
                              std::int64_t(fullDocument().size()));
  }

 private:
  benchmark::State& m_state;
  std::size_t m_news;
  std::size_t m_mallocs;
};

void BM_MemcpyReference(benchmark::State& state) {
  const std::string& source = fullDocument();
  char buffer[4096];
  AllocationCounter count(state);
  for (auto _ : state) {
    std::memcpy(buffer, source.data(), source.size());
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MemcpyReference);

// The string form: declaration, no layout; the string is reused as a caller would.
void BM_MarshalFlash(benchmark::State& state) {
  const FlashMemory::c_flashMemory record = fullRecord();
  std::string out;
  record.marshal(out);
  AllocationCounter count(state);
  for (auto _ : state) {
    record.marshal(out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_MarshalFlash);

// How the configuration is saved to flash: a writer without declaration or layout.
void BM_MarshalFlashThroughWriter(benchmark::State& state) {
  const FlashMemory::c_flashMemory record = fullRecord();
  std::string out;
  out.reserve(2048);
  AllocationCounter count(state);
  for (auto _ : state) {
    out.clear();
    zyl::xml::Writer writer(out, {false, "", ""});
    record.marshal(writer, "flashMemory");
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_MarshalFlashThroughWriter);

void BM_UnmarshalFlash(benchmark::State& state) {
  const std::string& text = fullDocument();
  FlashMemory::c_flashMemory record;
  AllocationCounter count(state);
  for (auto _ : state) {
    if (record.unmarshal(text.data(), text.size()) != 0) state.SkipWithError("unmarshal failed");
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_UnmarshalFlash);

// How the configuration is loaded from flash: reset to initial values, then read.
void BM_ResetAndUnmarshalFlash(benchmark::State& state) {
  const std::string& text = fullDocument();
  FlashMemory::c_flashMemory record;
  AllocationCounter count(state);
  for (auto _ : state) {
    record.reset();
    if (record.unmarshal(text.data(), text.size()) != 0) state.SkipWithError("unmarshal failed");
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_ResetAndUnmarshalFlash);

void BM_UnmarshalVolatileSlot(benchmark::State& state) {
  VolatileFlashMemory::c_volatileFlashMemory source;
  source.set_lastPumpDownTime(1718000000);
  std::string text;
  source.marshal(text);
  char slot[512] = {};
  text.copy(slot, sizeof slot);
  VolatileFlashMemory::c_volatileFlashMemory record;
  AllocationCounter count(state);
  for (auto _ : state) {
    record.reset();
    if (record.unmarshal(slot, sizeof slot) != 0) state.SkipWithError("unmarshal failed");
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_UnmarshalVolatileSlot);

}  // namespace

BENCHMARK_MAIN();
