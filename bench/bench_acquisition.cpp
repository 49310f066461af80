// The acquisition layer against its references in the same run:
//  - BM_Acquire100Scans/{0 older, 1 V3}: 100 back-to-back scans of 500 ms on the simulator at time
//    scale 10 (50 ms each), wall-clock; BM_ScanDurations100 sleeps the scans' own durations, so
//    the ratio is 1 / duty cycle (the host's time between scans is what it costs);
//  - BM_MzmlWriteSpectrum: one 3,601-point profile spectrum into an mzML file, against
//    BM_ZlibTwoArrays, zlib alone on its m/z (64-bit) and intensity (32-bit) arrays;
//  - BM_CalibrationApply: m/z of a 21,599-point spectrum from a three-segment calibration,
//    against BM_MemcpyMz, a memcpy of its m/z array.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "zyl/Acquisition.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace {

using namespace std::chrono_literals;

struct Null : zyl::acq::Sink {
  bool onSpectrum(const zyl::acq::Spectrum&) override { return true; }
};

constexpr double kTimeScale = 10;
constexpr uint32_t kScanMs = 500;

void BM_Acquire100Scans(benchmark::State& state) {
  auto instrument = std::make_shared<zyl::sim::Instrument>(zyl::sim::InstrumentOptions{
      .firmwareVersion = state.range(0) ? "VERSION130904A-V3" : "VERSION110812",
      .timeScale = kTimeScale,
      .traceEntries = 0});
  zyl::usb::useBackend(std::make_shared<zyl::sim::SimBackend>(instrument));
  {
    ZylInterface z;
    zyl::acq::Method m;
    m.scanTimeMs = kScanMs;
    m.scans = 100;
    for (auto _ : state) {
      Null sink;
      zyl::acq::Acquisition run(z, m, sink);
      run.start();
      const zyl::acq::Summary s = run.wait();
      state.counters["duty_cycle"] = s.scanSeconds / kTimeScale / s.elapsed;
      if (s.spectra != 100) state.SkipWithError("scans were lost");
    }
  }
  zyl::usb::useBackend(nullptr);
}
BENCHMARK(BM_Acquire100Scans)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ScanDurations100(benchmark::State& state) {
  for (auto _ : state)
    for (int i = 0; i < 100; ++i)
      std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(kScanMs / kTimeScale));
}
BENCHMARK(BM_ScanDurations100)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

zyl::acq::Spectrum profile(size_t n) {
  zyl::acq::Spectrum s;
  s.start = 1000;
  s.end = 60000;
  s.scanTimeMs = kScanMs;
  std::vector<uint32_t> counts(n);
  uint32_t seed = 1;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    counts[i] = 200 + (seed >> 28) +
                static_cast<uint32_t>(5e4 * std::exp(-std::pow((double(i) - 1800) / 20, 2)));
  }
  zyl::acq::fillSpectrum(s, counts.data(), n, {});
  return s;
}

void BM_MzmlWriteSpectrum(benchmark::State& state) {
  const zyl::acq::Spectrum s = profile(3601);
  char dir[] = "/tmp/zyl-bench-XXXXXX";
  if (!mkdtemp(dir)) return state.SkipWithError("no temporary directory");
  const std::string path = std::string(dir) + "/run.mzML";
  std::unique_ptr<zyl::acq::MzmlWriter> w;
  uint32_t written = 0;
  for (auto _ : state) {
    if (!w || written == 2000) {  // a new file now and then, so the disk holds little
      state.PauseTiming();
      w.reset();
      w = zyl::acq::MzmlWriter::open(path, {}, nullptr);
      written = 0;
      state.ResumeTiming();
    }
    w->onSpectrum(s);
    ++written;
  }
  w.reset();
  std::remove(path.c_str());
  rmdir(dir);
}
BENCHMARK(BM_MzmlWriteSpectrum)->Unit(benchmark::kMicrosecond);

void BM_ZlibTwoArrays(benchmark::State& state) {
  const zyl::acq::Spectrum s = profile(3601);
  std::vector<Bytef> out(compressBound(s.mz.size() * 8));
  for (auto _ : state) {
    uLongf len = out.size();
    compress(out.data(), &len, reinterpret_cast<const Bytef*>(s.mz.data()), s.mz.size() * 8);
    len = out.size();
    compress(out.data(), &len, reinterpret_cast<const Bytef*>(s.intensity.data()),
             s.intensity.size() * 4);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_ZlibTwoArrays)->Unit(benchmark::kMicrosecond);

zyl::acq::MassCalibration threeSegments() {
  zyl::acq::MassCalibration cal;
  cal.speeds.push_back({118000,
                        {{0, 20000, 20, 0.0305, 5e-9},
                         {20000, 40000, 20.1, 0.03049, 5.1e-9},
                         {40000, 65535, 20.3, 0.03048, 5.2e-9}}});
  return cal;
}

void BM_CalibrationApply(benchmark::State& state) {
  const auto cal = threeSegments();
  std::vector<double> mz(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    cal.apply(1000, 60000, kScanMs, mz.size(), mz.data());
    benchmark::DoNotOptimize(mz.data());
  }
}
BENCHMARK(BM_CalibrationApply)->Arg(21599);

void BM_MemcpyMz(benchmark::State& state) {
  std::vector<double> from(static_cast<size_t>(state.range(0)), 1.5), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size() * sizeof(double));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MemcpyMz)->Arg(21599);

}  // namespace

BENCHMARK_MAIN();
