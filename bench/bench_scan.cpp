// A full-size scan of the older firmware generation against the simulated instrument, at 1 MiB and
// at the largest reply (7,340,032 bytes), next to its references in the same run:
//  - BM_Memcpy: a plain memcpy of the same number of bytes;
//  - BM_RawHandleScan: the scan command and its reply moved on a raw UsbHandle of the same
//    instrument (what the simulator and the transfer cost without the library);
//  - BM_PerformScan: the whole scan through the library;
//  - BM_ScanReplyProcessing: the library's own work on a received reply alone (bit-31
//    inversion, copy into the caller's block, trailer applied to the status record), which is
//    the figure to hold against BM_Memcpy.
// The instrument answers every scan with the same prepared reply, so its spectrum synthesis is
// not timed. Heap allocations per iteration are counted: the library adds none after its first
// scan.
#include <benchmark/benchmark.h>

#include <cstring>
#include <new>
#include <vector>

#include "bench/alloc_counter.h"
#include "tests/support/zyl_test_peer.h"
#include "zyl/ZylInterface.h"
#include "zyl/platform.h"
#include "zyl/sim/SimBackend.h"

namespace {

constexpr char kScanCommand[] = "-1B9000010000ffff00046ebf0000";

void reportAllocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(zyl::bench::allocations() - before), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// A reply of exactly `bytes` bytes as the older firmware sends it: points with bit 31 inverted,
// readings, inputs, a serial text padded to fill, the count.
std::vector<uint8_t> preparedReply(size_t bytes) {
  const std::string text = "@253ACK2.50E-05;FF\r\nV8521000;0010\r\n";
  const size_t n = (bytes - 70 - text.size()) / 4;
  std::vector<uint8_t> r(bytes, ' ');
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = static_cast<uint32_t>(200 + i % 1000) ^ 0x80000000u;
    std::memcpy(&r[4 * i], &v, 4);
  }
  for (size_t i = 0; i < 66; ++i) r[4 * n + i] = static_cast<uint8_t>(i);
  std::memcpy(&r[4 * n + 66], text.data(), text.size());
  for (int b = 0; b < 4; ++b) r[bytes - 4 + b] = static_cast<uint8_t>(n >> (8 * (3 - b)));
  return r;
}

struct Rig {
  explicit Rig(size_t bytes) : reply(preparedReply(bytes)) {
    instrument = std::make_shared<zyl::sim::Instrument>(zyl::sim::InstrumentOptions{
        .firmwareVersion = "VERSION110812", .manualClock = true, .traceEntries = 0});
    instrument->on("90", [this](zyl::sim::CommandContext& c) { c.reply(reply); });
    zyl::usb::useBackend(std::make_shared<zyl::sim::SimBackend>(instrument));
  }
  ~Rig() { zyl::usb::useBackend(nullptr); }
  std::vector<uint8_t> reply;
  std::shared_ptr<zyl::sim::Instrument> instrument;
};

void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> from = preparedReply(bytes), to(bytes);
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::ClobberMemory();
  }
  reportAllocations(state, before);
}

void BM_RawHandleScan(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  Rig rig(bytes);
  auto handle = zyl::usb::currentBackend()->open(0);
  std::vector<uint8_t> in(bytes);
  unsigned char command[sizeof kScanCommand];
  std::memcpy(command, kScanCommand, sizeof command);
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state) {
    long out = sizeof kScanCommand - 1;
    handle->bulkTransfer(zyl::sim::kCommandOut, command, out, 10000);
    long got = static_cast<long>(in.size());
    if (handle->bulkTransfer(zyl::sim::kCommandIn, in.data(), got, 10000) !=
            zyl::usb::TransferResult::ok ||
        got != static_cast<long>(bytes))
      state.SkipWithError("read");
  }
  reportAllocations(state, before);
}

// An instrument object that has made its first scan: DACs sent, reply buffer allocated.
struct ScannedRig : Rig {
  explicit ScannedRig(benchmark::State& state)
      : Rig(static_cast<size_t>(state.range(0))),
        block(zyl::GlobalAlloc(zyl::GHND, static_cast<size_t>(state.range(0)))) {
    if (!scan()) state.SkipWithError("scan");
  }
  ~ScannedRig() { zyl::GlobalFree(block); }
  bool scan() { return z.PerformScan(0, 65535, 1000, block, 0, &points) == ZYL_SUCCESS; }
  ZylInterface z;
  zyl::HGLOBAL block;
  unsigned int points = 0;
};

void BM_PerformScan(benchmark::State& state) {
  ScannedRig rig(state);
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state)
    if (!rig.scan()) state.SkipWithError("scan");
  reportAllocations(state, before);
  state.counters["points"] = rig.points;
}

void BM_ScanReplyProcessing(benchmark::State& state) {
  ScannedRig rig(state);
  const size_t bytes = static_cast<size_t>(state.range(0));
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state)
    if (ZylTestPeer::deliverScanReply(rig.z, bytes, rig.block, &rig.points) != ZYL_SUCCESS)
      state.SkipWithError("deliver");
  reportAllocations(state, before);
}

constexpr int64_t kOneMiB = 1 << 20;
constexpr int64_t kLargest = ZYL_SCAN_REPLY_BYTES;

BENCHMARK(BM_Memcpy)->Arg(kOneMiB)->Arg(kLargest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawHandleScan)->Arg(kOneMiB)->Arg(kLargest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PerformScan)->Arg(kOneMiB)->Arg(kLargest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScanReplyProcessing)->Arg(kOneMiB)->Arg(kLargest)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
