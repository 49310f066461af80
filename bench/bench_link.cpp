// One command round trip through the library against the simulated instrument, next to the same
// two transfers made directly on a UsbHandle of the same instrument: the difference is the
// library's own overhead. Heap allocations per iteration are counted for both, so that the
// library's share (the difference) is visible too.
#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace {

std::shared_ptr<zyl::sim::Instrument> plugInstrument() {
  auto instrument = std::make_shared<zyl::sim::Instrument>();
  zyl::usb::useBackend(std::make_shared<zyl::sim::SimBackend>(instrument));
  return instrument;
}

void reportAllocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(zyl::bench::allocations() - before), benchmark::Counter::kAvgIterations);
}

// Reference: "-1B05" written and its reply read on a raw handle.
void BM_RawHandleRoundTrip(benchmark::State& state) {
  auto instrument = plugInstrument();
  auto handle = zyl::usb::currentBackend()->open(0);
  unsigned char command[] = "-1B05";
  unsigned char reply[80];
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state) {
    long out = 5;
    handle->bulkTransfer(zyl::sim::kCommandOut, command, out, 2000);
    long in = sizeof reply;
    if (handle->bulkTransfer(zyl::sim::kCommandIn, reply, in, 2000) != zyl::usb::TransferResult::ok)
      state.SkipWithError("read");
    benchmark::DoNotOptimize(reply);
  }
  reportAllocations(state, before);
  zyl::usb::useBackend(nullptr);
}
BENCHMARK(BM_RawHandleRoundTrip);

// The same exchange through ZylUSBExecuteCommand (data reply), logging off as hosts poll.
void BM_ExecuteCommandRoundTrip(benchmark::State& state) {
  auto instrument = plugInstrument();
  ZylInterface z;
  unsigned char reply[80];
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state) {
    long length = sizeof reply;
    if (z.ZylUSBExecuteCommand("-1B05", reply, length, false, 2000, 2000) != 0)
      state.SkipWithError("exchange");
    benchmark::DoNotOptimize(reply);
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ExecuteCommandRoundTrip);

// An acknowledged command: the reply is checked for "ACK" in the object's own buffer.
void BM_ExecuteAcknowledgedRoundTrip(benchmark::State& state) {
  auto instrument = plugInstrument();
  instrument->on("99", [](zyl::sim::CommandContext& c) { c.ack(); });
  ZylInterface z;
  const uint64_t before = zyl::bench::allocations();
  for (auto _ : state) {
    if (z.ZylUSBExecuteCommand("-1B99", nullptr, ZylInterface::GlDummy, false, 2000, 2000) != 0)
      state.SkipWithError("exchange");
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ExecuteAcknowledgedRoundTrip);

}  // namespace

BENCHMARK_MAIN();
