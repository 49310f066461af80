// Soak: the V3 status stream, scans read from the scan pipe and commands, for ZYL_SOAK_SECONDS
// (default 600) with random faults drawn from a fixed seed (ZYL_SOAK_SEED, default 1). Checked at
// the end: every status frame reached the record whole (each frame carries one generation of
// readings), every scan that arrived holds exactly the points its request asked for, scans are
// never duplicated and go missing only where a fault made the host empty the instrument's buffers
// or reopen its pipes, the link is in step again, and the resident memory grew by less than 4 MiB
// after warm-up.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/controller_io.h"
#include "sim/status_report.h"
#include "support/capped_backend.h"
#include "support/scan_ticks.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/Scan.h"

namespace zyl::test {
namespace {

using K = sim::FaultKind;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The controller's readings of generation g; channel 5 is left out of the check, since the
// connection sequence writes it from the frequency reply.
uint16_t reading(uint32_t g, size_t k) {
  return static_cast<uint16_t>(k == 0 ? g : g * 7 + k * 1021);
}
std::atomic<ZylInterface*> watched{nullptr};
std::atomic<uint64_t> framesOk{0}, framesBad{0};
void checkFrame() {
  const ZylInterface* z = watched;
  bool whole = true;
  for (size_t k = 1; k < 32; ++k)
    whole &= k == 5 || z->adcChannels[k] == reading(z->adcChannels[0], k);
  ++(whole ? framesOk : framesBad);
}

long residentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}
unsigned long env(const char* name, unsigned long fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoul(v, nullptr, 10) : fallback;
}

TEST(Soak, StreamScansAndCommandsUnderRandomFaults) {
  const auto duration = std::chrono::seconds(env("ZYL_SOAK_SECONDS", 600));
  std::mt19937 rng(static_cast<uint32_t>(env("ZYL_SOAK_SEED", 1)));
  auto instrument = std::make_shared<sim::Instrument>(
      sim::InstrumentOptions{.manualClock = true, .traceEntries = 0});
  instrument->withFirmware(
      [](sim::FirmwareContext& f) { f.state().part<sim::StatusReport>().framePeriodMs = 20; });
  auto setGeneration = [&](uint32_t g) {
    instrument->withFirmware([g](sim::FirmwareContext& f) {
      for (size_t k = 0; k < 32; ++k) f.state().part<sim::ControllerIo>().adc[k] = reading(g, k);
    });
  };
  setGeneration(0);
  usb::useBackend(std::make_shared<CappedBackend>(instrument, 250));
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  watched = &z;
  z.SetStatusCallback(&checkFrame);
  z.EnableStatusReporting(true);
  ASSERT_EQ(z.initializeScanReading(), ZYL_SUCCESS);

  auto inStep = [&] {
    unsigned char reply[80];
    long n = sizeof reply;
    return z.ZylUSBExecuteCommand("-1B05", reply, n, false, 10000, 10000) == ZYL_SUCCESS &&
           std::string(reinterpret_cast<char*>(reply)) == "VERSION130904A-V3";
  };
  uint64_t recoveries = 0, replugs = 0;
  bool mayLose = false;  // the host emptied the instrument's buffers since the last scan came
  // The host's way back: wait out late replies, empty the buffers, reconnect, initialise.
  auto recover = [&] {
    ++recoveries;
    mayLose = true;
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (!instrument->plugged()) {
        instrument->replug();
        ++replugs;
      }
      std::this_thread::sleep_for(450ms);
      z.ClearFX2Buffers();
      if (z.TestConnection() >= CommConnected && z.InitializeSettings() == CommInitialized &&
          z.initializeScanReading() == ZYL_SUCCESS && inStep())
        return;
    }
    ADD_FAILURE() << "no way back";
  };

  // Faults the library must live with: on commands every kind before Unplug; damaged status
  // frames and scan data are left out, since the library passes those on as the instrument sent
  // them.
  const K pipeFaults[] = {K::NoReply, K::LateReply, K::FailedWrite, K::Stall};
  const char* const codes[] = {"05", "13", "90"};
  std::array<uint64_t, 8> injected{};
  struct Request {
    uint16_t start, end, ms;
  };
  std::vector<Request> requests(65536);  // by tail word: the scan's cycle
  std::vector<unsigned char> data(1 << 16);
  uint64_t scans = 0, points = 0, damaged = 0, duplicated = 0, lostUnexplained = 0, lost = 0;
  uint32_t nextSequence = 0;
  long rssWarm = 0;
  const auto start = Clock::now(), warm = start + std::min<Clock::duration>(60s, duration / 4);

  for (uint32_t cycle = 1; Clock::now() < start + duration; ++cycle) {
    if (!rssWarm && Clock::now() >= warm) rssWarm = residentBytes();
    if (rng() % 12 == 0) {
      sim::Fault f{.delayMs = 400};
      const unsigned pick = rng() % 5;
      f.kind = pick < 3 ? K(rng() % 7) : pipeFaults[rng() % 4];
      if (pick < 3) f.command = codes[pick];
      if (pick >= 3) f.endpoint = pick == 3 ? sim::kScanIn : sim::kStatusIn;
      if (rng() % 80 == 0) f = {.kind = K::Unplug, .command = "05"};
      instrument->inject(f);
      ++injected[static_cast<size_t>(f.kind)];
    }
    setGeneration(cycle);
    const uint16_t tail = static_cast<uint16_t>(cycle);
    const uint16_t from = static_cast<uint16_t>(rng() % 30000);
    Request& r = requests[tail] = {from, static_cast<uint16_t>(from + 1000 + rng() % 30000),
                                   static_cast<uint16_t>(5 + rng() % 40)};
    z.PerformScanHS(1, r.start, r.end, r.ms, tail, true);
    bool ok = true;
    for (bool mine = false; ok && !mine;) {  // older scans that came late arrive first
      long n = static_cast<long>(data.size());
      ok = z.ZylUSBGetScanData(data.data(), n, 50) == ZYL_SUCCESS;
      if (!ok) break;
      const auto scan = sim::decodeV3Scan({data.data(), static_cast<size_t>(n)});
      if (!scan) {
        ++damaged;
        break;
      }
      const Request& q = requests[scan->tailWord];
      const uint64_t expected = sim::scanPointCount(q.start, q.end, ticksOf(q.ms));
      damaged += scan->start != q.start || scan->end != q.end || scan->counts.size() != expected ||
                 static_cast<size_t>(n) != sim::kV3ScanHeaderBytes + 4 * expected;
      if (scan->sequence < nextSequence) ++duplicated;
      (mayLose ? lost : lostUnexplained) += scan->sequence - std::min(scan->sequence, nextSequence);
      nextSequence = scan->sequence + 1;
      mayLose = false;
      ++scans;
      points += scan->counts.size();
      mine = scan->tailWord == tail;
    }
    if (!ok || !inStep() || z.GetCommunicationState() != CommInitialized) recover();
    std::this_thread::sleep_for(2ms);
  }
  const long rssEnd = residentBytes();
  EXPECT_TRUE(inStep());
  EXPECT_TRUE(z.statusThreadRunning);
  z.SetStatusCallback(nullptr);
  std::cout << "soak: " << duration.count() << " s, " << scans << " scans, " << points
            << " points, " << framesOk << " frames whole, " << framesBad << " broken; faults "
            << "(no reply, late, not ACK, short, garbage, failed write, stall, unplug):";
  for (uint64_t n : injected) std::cout << " " << n;
  std::cout << "; " << recoveries << " recoveries, " << replugs << " replugs, " << lost
            << " scans discarded by them; RSS " << rssWarm / 1024 << " KiB after warm-up, "
            << rssEnd / 1024 << " KiB at the end" << std::endl;
  EXPECT_EQ(framesBad, 0u);
  EXPECT_GT(framesOk, 0u);
  EXPECT_EQ(damaged, 0u);
  EXPECT_EQ(duplicated, 0u);
  EXPECT_EQ(lostUnexplained, 0u);
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer holds freed memory back in its quarantine
  EXPECT_LT(rssEnd - rssWarm, 4l << 20);
#endif
  usb::useBackend(nullptr);
}

}  // namespace
}  // namespace zyl::test
