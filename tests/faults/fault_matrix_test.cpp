// Every long or stateful operation under the faults of the simulated instrument, as one table:
// what the operation returns, the communication state it leaves, that no caller buffer was
// written beyond its ends, that a running status thread is still (or again) running, and the way
// back to a working link. The library retries nothing and drains nothing: a reply that comes after
// its exchange gave up is read by the next exchange, and every exchange after that reads its
// predecessor's reply until ClearFX2Buffers empties the instrument's buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sim/controller_io.h"
#include "sim/serial_ports.h"
#include "sim/status_report.h"
#include "support/capped_backend.h"
#include "support/manual_clock.h"
#include "support/scan_ticks.h"
#include "zyl/ZylInterface.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"

namespace zyl::test {
namespace {

using K = sim::FaultKind;
using namespace std::chrono_literals;

constexpr uint32_t kLateMs = 1500;  // a late reply comes after the whole operation gave up
constexpr size_t kGuard = 64;
constexpr unsigned char kPattern = 0xA5;
bool clean(const unsigned char* p, size_t n) {
  return std::all_of(p, p + n, [](unsigned char b) { return b == kPattern; });
}

bool framesCome(int n = 3) {
  const int until = frames + n;
  return waitFor([&] { return frames >= until; }, 1500ms);
}

enum Op { Conn, Reply, Ack, Scan, ScanHS, ScanPipe, Stream, Serial, Modbus, FRead, FWrite, Update };
const char* const kOpNames[] = {"Connect",    "DataReply", "AckedCommand", "ScanOlder",
                                "ScanV3",     "ScanPipe",  "StatusStream", "SerialRead",
                                "ModbusRead", "FlashRead", "FlashWrite",   "FirmwareUpdate"};
// The caller's buffer of each operation: its capacity, between guard bytes.
constexpr long kCapacity[] = {0, 80, 0, 0, 0, 4096, 0, 16, 0, ZYL_FLASH_REGION_BYTES, 0, 0};

// The way back to a link that works in step:
//  Next    the next exchange (or read, or frame) works;
//  Clear   the next exchange reads the reply the failed one missed, and so on, until
//          ClearFX2Buffers empties the instrument's buffers;
//  Replug  the instrument is plugged in again and the host reconnects.
// An instrument object whose state dropped is CommConnected once it answers again, not
// CommInitialized, until the host runs the connection sequence again.
enum Back { Next, Clear, Replug };

sim::Fault on(const char* code, K kind, uint32_t nth = 1, std::optional<size_t> length = {}) {
  return {.kind = kind, .command = code, .nth = nth, .delayMs = kLateMs, .length = length};
}
sim::Fault at(uint8_t endpoint, K kind) {
  return {.kind = kind, .endpoint = endpoint, .delayMs = kLateMs};
}
// Not injected: the instrument was unplugged and plugged in again just before the operation.
const sim::Fault kReplugged{.kind = K::Unplug, .endpoint = -2};

struct Row {
  Op op;
  sim::Fault fault;
  unsigned result;
  CommunicationState after;
  Back back;
};

// Left out, because the outcome is ours to choose or up to the instrument's
// text: damaged ("NAK", short, garbage) version texts, which are stored as the version and decide
// the generation; short and garbage replies that the reader may take in several ways (an older
// scan shorter than its count says, serial availability and byte replies, a flash region shorter
// than 65,536 bytes); faults on a transfer that the operation does not make (not-ACK on the scan
// pipe or the status stream, whose data are not acknowledged).
const Row kRows[] = {
    {Conn, on("05", K::NoReply), CommNoResponse, CommNoResponse, Next},
    {Conn, on("05", K::LateReply), CommNoResponse, CommNoResponse, Clear},
    {Conn, on("05", K::FailedWrite), CommNotConnected, CommNotConnected, Next},
    {Conn, on("05", K::Stall), CommNotConnected, CommNotConnected, Next},
    {Conn, on("05", K::Unplug), CommNotConnected, CommNotConnected, Replug},
    {Conn, kReplugged, CommNotConnected, CommNotConnected, Next},
    // The configuration read fails: reported as CommNotConnected; resuming the stream answered.
    {Conn, on("61", K::NoReply), CommNotConnected, CommConnected, Next},
    {Reply, on("07", K::NoReply), 2, CommNoResponse, Next},
    {Reply, on("07", K::LateReply), 2, CommNoResponse, Clear},
    {Reply, on("07", K::NotAck), 0, CommInitialized, Next},  // "NAK" is the data
    {Reply, on("07", K::ShortReply), 0, CommInitialized, Next},
    {Reply, on("07", K::GarbageReply, 1, 200), 0, CommInitialized, Clear},  // the rest waits
    {Reply, on("07", K::FailedWrite), 2, CommNotConnected, Next},
    {Reply, at(sim::kCommandIn, K::Stall), 2, CommNoResponse, Next},
    {Reply, on("07", K::Unplug), 2, CommNotConnected, Replug},
    {Reply, kReplugged, 2, CommNotConnected, Next},
    {Ack, on("9F", K::NoReply), 2, CommNoResponse, Next},
    {Ack, on("9F", K::LateReply), 2, CommNoResponse, Clear},
    {Ack, on("9F", K::NotAck), 3, CommInitialized, Next},
    {Ack, on("9F", K::ShortReply), 3, CommInitialized, Next},
    {Ack, on("9F", K::GarbageReply), 3, CommInitialized, Next},
    {Ack, on("9F", K::FailedWrite), 2, CommNotConnected, Next},
    {Ack, on("9F", K::Unplug), 2, CommNotConnected, Replug},
    {Scan, on("90", K::NoReply), 2, CommNoResponse, Next},
    {Scan, on("90", K::LateReply), 2, CommNoResponse, Clear},
    {Scan, on("90", K::NotAck), 0, CommInitialized, Next},  // under 4 bytes: nothing copied
    {Scan, on("90", K::ShortReply, 1, 3), 0, CommInitialized, Next},
    {Scan, on("10", K::NotAck), 0, CommInitialized, Next},  // DAC failures do not stop it
    {Scan, on("90", K::FailedWrite), 2, CommNotConnected, Next},
    {Scan, on("90", K::Unplug), 2, CommNotConnected, Replug},
    // The V3 scan reports nothing: failures show only in the scan pipe's reads.
    {ScanHS, on("90", K::NoReply), 0, CommNoResponse, Next},
    {ScanHS, on("90", K::LateReply), 0, CommNoResponse, Clear},
    {ScanHS, on("90", K::NotAck), 0, CommInitialized, Next},
    {ScanHS, on("13", K::NotAck), 0, CommInitialized, Next},
    {ScanHS, on("90", K::FailedWrite), 0, CommNotConnected, Next},
    {ScanHS, on("90", K::Unplug), 0, CommNotConnected, Replug},
    // The scan and status pipes never change the communication state.
    {ScanPipe, at(sim::kScanIn, K::NoReply), 2, CommInitialized, Next},
    {ScanPipe, at(sim::kScanIn, K::LateReply), 2, CommInitialized, Next},
    {ScanPipe, at(sim::kScanIn, K::ShortReply), 0, CommInitialized, Next},
    {ScanPipe, at(sim::kScanIn, K::GarbageReply), 0, CommInitialized, Next},
    {ScanPipe, at(sim::kScanIn, K::FailedWrite), 2, CommInitialized, Next},
    {ScanPipe, at(sim::kScanIn, K::Stall), 2, CommInitialized, Next},
    {ScanPipe, at(sim::kScanIn, K::Unplug), 2, CommInitialized, Replug},
    {Stream, at(sim::kStatusIn, K::NoReply), 0, CommInitialized, Next},
    {Stream, at(sim::kStatusIn, K::LateReply), 0, CommInitialized, Next},
    {Stream, at(sim::kStatusIn, K::ShortReply), 0, CommInitialized, Next},
    {Stream, at(sim::kStatusIn, K::GarbageReply), 0, CommInitialized, Next},
    {Stream, at(sim::kStatusIn, K::FailedWrite), 0, CommInitialized, Next},
    {Stream, at(sim::kStatusIn, K::Stall), 0, CommInitialized, Next},
    {Stream, at(sim::kStatusIn, K::Unplug), 2, CommInitialized, Replug},
    {Serial, on("43", K::NoReply, 2), 2, CommNoResponse, Next},
    {Serial, on("43", K::LateReply, 2), 2, CommNoResponse, Clear},
    {Serial, on("42", K::FailedWrite), 2, CommNotConnected, Next},
    {Serial, on("43", K::Unplug, 3), 2, CommNotConnected, Replug},
    {Modbus, on("41", K::NotAck), 2, CommInitialized, Next},
    {Modbus, on("41", K::LateReply), 2, CommNoResponse, Clear},
    {Modbus, on("43", K::NoReply, 2), 2, CommNoResponse, Next},
    {Modbus, on("43", K::GarbageReply, 10), 2, CommInitialized, Next},  // the marker is gone
    {Modbus, on("40", K::FailedWrite), 2, CommNotConnected, Next},
    // Flash transfers stop the stream and start it again; "-1B3101" then answers.
    {FRead, on("61", K::NoReply), 2, CommConnected, Next},
    {FRead, on("61", K::LateReply), 2, CommNoResponse, Clear},
    {FRead, on("61", K::GarbageReply), 0, CommInitialized, Next},
    {FRead, on("63", K::NotAck), 3, CommInitialized, Next},
    {FRead, on("61", K::FailedWrite), 2, CommConnected, Next},
    {FRead, on("61", K::Unplug), 2, CommNotConnected, Replug},
    {FRead, kReplugged, 0, CommConnected, Next},
    {FWrite, on("60", K::NotAck), 3, CommInitialized, Next},
    {FWrite, on("62", K::NotAck), 3, CommInitialized, Next},
    {FWrite, on("62", K::NoReply), 3, CommConnected, Next},  // no reply is no "ACK"
    {FWrite, on("62", K::LateReply), 3, CommNoResponse, Clear},
    {FWrite, on("62", K::FailedWrite), 2, CommConnected, Next},
    {FWrite, on("62", K::Unplug), 2, CommNotConnected, Replug},
    // The closing command's result is the update's: a transfer cut short still reports 0.
    {Update, on("88", K::NoReply), 3, CommConnected, Next},  // the instrument refuses the end
    {Update, on("89", K::NoReply, 2), 0, CommConnected, Next},
    {Update, on("89", K::NotAck, 2), 0, CommInitialized, Next},
    {Update, on("88", K::NotAck, 2), 3, CommInitialized, Next},
    {Update, on("89", K::LateReply, 2), 2, CommNoResponse, Clear},
    {Update, on("89", K::FailedWrite, 2), 0, CommConnected, Next},
    {Update, on("89", K::Unplug, 2), 2, CommNotConnected, Replug},
    {Update, kReplugged, 0, CommConnected, Next},
};

void PrintTo(const Row& row, std::ostream* os) {
  static const char* const kFaults[] = {"NoReply",      "LateReply",   "NotAck", "ShortReply",
                                        "GarbageReply", "FailedWrite", "Stall",  "Unplug"};
  const sim::Fault& f = row.fault;
  *os << kOpNames[row.op] << ", " << (f.endpoint == -2 ? "Replug" : kFaults[int(f.kind)]);
  if (!f.command.empty()) *os << " on -1B" << f.command << " #" << f.nth;
  if (f.command.empty() && f.endpoint > 0) *os << " on endpoint " << f.endpoint;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
 protected:
  void TearDown() override {
    if (z) z->SetStatusCallback(nullptr);  // process-wide: leave none behind
    z.reset();
    usb::useBackend(nullptr);
    if (block) GlobalFree(block);
  }
  unsigned run(Op op) {
    unsigned char* buf = mem.data() + kGuard;
    long n = kCapacity[op];
    unsigned u = 0;
    std::vector<unsigned char> image(600, 0x5A);  // holds no version text: the version stays
    switch (op) {
      case Conn:  // the host's sequence: TestConnection until connected, then InitializeSettings
        return z->TestConnection() < CommConnected ? z->GetCommunicationState()
                                                   : z->InitializeSettings();
      case Reply:
        return z->ZylUSBExecuteCommand("-1B07", buf, n, true, 10000, 10000);
      case Ack:
        return z->ClearScanQueue();
      case Scan:
        return z->PerformScan(1000, 2000, 10, block, 0, &u);
      case ScanHS:
        return z->PerformScanHS(1, 1000, 2000, 10, 0, true);
      case ScanPipe:
        z->PerformScanHS(1, 1000, 2000, 10, 0, true);
        return z->ZylUSBGetScanData(buf, n, 100);
      case Stream:
        return framesCome() ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
      case Serial:
        return z->ZylUSBReadSerialASCII(3, reinterpret_cast<char*>(buf), n);
      case Modbus:
        return z->ModbusReadRTU(6, 1, 402, &u);
      case FRead:
        return z->ReadFlash(buf, 0);
      case FWrite:
        return z->WriteFlash(z->secondFlashImage, 1);
      case Update:
        return z->UpdateFirmware(image.data(), static_cast<long>(image.size()));
    }
    return ~0u;
  }
  // One exchange's reply text, or "" when it failed.
  std::string ask(const char* command) {
    unsigned char reply[128];
    long n = sizeof reply - 1;
    if (z->ZylUSBExecuteCommand(command, reply, n, false, 10000, 10000) != ZYL_SUCCESS) return "";
    return std::string(reinterpret_cast<char*>(reply), static_cast<size_t>(n));
  }
  bool inStep() { return ask("-1B05") == version && ask("-1B07") == model; }
  bool guardsIntact(long capacity) {
    const bool tail =
        clean(static_cast<unsigned char*>(GlobalLock(block)) + kBlock - kGuard, kGuard);
    GlobalUnlock(block);
    return tail && clean(mem.data(), kGuard) && clean(mem.data() + kGuard + capacity, kGuard);
  }

  static constexpr size_t kBlock = 1 << 16;
  std::shared_ptr<sim::Instrument> instrument;
  std::unique_ptr<ZylInterface> z;
  std::vector<unsigned char> mem =
      std::vector<unsigned char>(ZYL_FLASH_REGION_BYTES + 2 * kGuard, kPattern);
  HGLOBAL block = nullptr;
  std::string version, model;
};

TEST_P(FaultMatrix, ResultStateBuffersThreadAndWayBack) {
  const Row& row = GetParam();
  const bool v3 = row.op != Scan;
  instrument = std::make_shared<sim::Instrument>(sim::InstrumentOptions{
      .firmwareVersion = v3 ? "VERSION130904A-V3" : "VERSION110812", .manualClock = true});
  instrument->withFirmware([](sim::FirmwareContext& f) {
    f.state().part<sim::StatusReport>().framePeriodMs = 20;
    f.state().part<sim::SerialPorts>().port(3)->received.assign({'h', 'e', 'l', 'l', 'o'});
  });
  usb::useBackend(std::make_shared<CappedBackend>(instrument, 250));
  z = std::make_unique<ZylInterface>();
  ASSERT_EQ(z->GetCommunicationState(), CommInitialized);
  version = ask("-1B05");
  model = ask("-1B07");
  block = GlobalAlloc(GHND, kBlock);
  std::fill_n(static_cast<unsigned char*>(GlobalLock(block)), kBlock, kPattern);
  GlobalUnlock(block);
  if (v3) {
    z->SetStatusCallback(&countFrame);
    z->EnableStatusReporting(true);
    ASSERT_EQ(z->initializeScanReading(), ZYL_SUCCESS);
    ASSERT_TRUE(framesCome());
  }

  if (row.fault.endpoint == -2) {
    instrument->unplug();
    instrument->replug();
  } else {
    instrument->inject(row.fault);
  }
  EXPECT_EQ(run(row.op), row.result);
  EXPECT_EQ(z->GetCommunicationState(), row.after);
  EXPECT_TRUE(guardsIntact(kCapacity[row.op]));
  // A failed read leaves the image alone.
  EXPECT_TRUE(row.op != FRead || row.result == ZYL_SUCCESS || clean(mem.data(), mem.size()));
  EXPECT_TRUE(!v3 || z->statusThreadRunning);

  if (row.back == Clear) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs));
    EXPECT_FALSE(inStep());
    EXPECT_EQ(z->ClearFX2Buffers(), ZYL_SUCCESS);
  } else if (row.back == Replug) {
    instrument->replug();
    z->TestConnection();  // meets the handle from before the unplug, or reconnects at once
  }
  EXPECT_TRUE(inStep());
  const bool kept = row.after == CommInitialized && row.back != Replug;
  EXPECT_EQ(z->GetCommunicationState(), kept ? CommInitialized : CommConnected);
  if (!kept) {
    EXPECT_GE(z->TestConnection(), CommConnected);
    EXPECT_EQ(z->InitializeSettings(), CommInitialized);
  }
  if (v3) {
    EXPECT_TRUE(z->statusThreadRunning);
    EXPECT_TRUE(framesCome());
    const auto adc = instrument->withFirmware(
        [](sim::FirmwareContext& f) { return f.state().part<sim::ControllerIo>().adc; });
    EXPECT_TRUE(std::equal(adc.begin(), adc.end(), z->adcChannels));  // the record follows
    // A scan read from the scan pipe arrives whole.
    ASSERT_EQ(z->initializeScanReading(), ZYL_SUCCESS);
    z->PerformScanHS(1, 1000, 60000, 100, 9, true);
    long n = static_cast<long>(mem.size());
    ASSERT_EQ(z->ZylUSBGetScanData(mem.data(), n, 100), ZYL_SUCCESS);
    const auto scan = sim::decodeV3Scan({mem.data(), static_cast<size_t>(n)});
    ASSERT_TRUE(scan);
    EXPECT_EQ(std::tuple(scan->tailWord, scan->counts.size()),
              std::tuple(9, sim::scanPointCount(1000, 60000, ticksOf(100))));
  } else {
    unsigned n = 0;
    EXPECT_EQ(z->PerformScan(1000, 2000, 10, block, 0, &n), ZYL_SUCCESS);
    EXPECT_EQ(n, sim::scanPointCount(1000, 2000, ticksOf(10)));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(kRows));

}  // namespace
}  // namespace zyl::test
