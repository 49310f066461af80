// The simulated instrument seen through UsbBackend: commands, replies and endpoint FIFOs, the
// trace, stream sources, the physics clock, fault injection, unplugging and cancellation, and the
// DAC commands a scan leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "zyl/sim/Scan.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::sim {
namespace {

using std::nullopt;
using Result = zyl::usb::TransferResult;
constexpr const char* kV3 = "VERSION130904A-V3";
constexpr const char* kOlder = "VERSION110812";
// Long enough that only a read nobody wakes ever reaches it.
constexpr uint32_t kNeverMs = 20000;

bool send(usb::UsbHandle& h, std::string_view text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  long length = static_cast<long>(bytes.size());
  return h.bulkTransfer(kCommandOut, bytes.data(), length, 1000) == Result::ok &&
         length == long(bytes.size());
}
// One IN transfer into a buffer with a guard byte behind `capacity`; nullopt when it failed.
std::optional<std::string> receive(usb::UsbHandle& h, uint8_t ep = kCommandIn, long capacity = 1024,
                                   uint32_t timeoutMs = 200) {
  std::vector<uint8_t> buffer(static_cast<size_t>(capacity) + 1, 0xEE);
  long length = capacity;
  if (h.bulkTransfer(ep, buffer.data(), length, timeoutMs) != Result::ok) return nullopt;
  if (buffer.back() != 0xEE) return "<overrun>";
  return std::string(buffer.begin(), buffer.begin() + length);
}
std::optional<std::string> exchange(usb::UsbHandle& h, std::string_view command) {
  return send(h, command) ? receive(h) : nullopt;
}
// Real time: replies and time-outs run in it, so it bounds a wait from below only, or from above
// by a time-out nothing should reach.
double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Every operation of a handle that saw its instrument go fails, whatever follows.
void expectDead(usb::UsbHandle& d) {
  EXPECT_FALSE(send(d, "-1B05"));
  EXPECT_EQ(receive(d, kCommandIn, 64, 0), nullopt);
  EXPECT_EQ(d.vendorRequest(4, 0, 0, 10000), Result::noDevice);
  EXPECT_FALSE(d.abortPipe(kCommandIn) || d.resetPipe(kCommandIn) || d.resetParentPort());
}

class SimWire : public ::testing::Test {
 protected:
  void SetUp() override { make({}); }
  void make(InstrumentOptions options) {
    inst = std::make_shared<Instrument>(options);
    backend = std::make_shared<SimBackend>(inst);
    h = backend->open(0);
    // A command with a visible side effect, to tell "not executed" from "not answered".
    inst->on("94", [this](CommandContext& c) {
      ++executed;
      c.ack();
    });
  }
  std::optional<std::string> ex(std::string_view command) { return exchange(*h, command); }
  std::vector<std::string> replies(int n, std::string_view command = "-1B94") {
    std::vector<std::string> got;
    for (int i = 0; i < n; ++i) got.push_back(ex(command).value_or("?"));
    return got;
  }
  std::shared_ptr<Instrument> inst;
  std::shared_ptr<SimBackend> backend;
  std::unique_ptr<usb::UsbHandle> h;
  int executed = 0;
};

TEST(SimExchange, VersionsModelsAndRefusals) {
  auto v3 = std::make_shared<Instrument>();
  auto old = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = kOlder});
  SimBackend backend({v3, old});
  ASSERT_EQ(backend.deviceCount(), 2);
  auto a = backend.open(0), b = backend.open(1);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(backend.open(2), nullptr);
  EXPECT_EQ(backend.open(-1), nullptr);
  EXPECT_THROW(Instrument(InstrumentOptions{.bulkInEndpoints = 4}), std::invalid_argument);

  EXPECT_EQ(exchange(*a, "-1B05"), kV3);
  EXPECT_EQ(exchange(*b, "-1B05"), kOlder);
  EXPECT_EQ(exchange(*a, "-1B07"), "zentra Vexa");
  EXPECT_EQ(exchange(*b, "-1B07"), "NAK");  // older firmware does not know its model
  for (std::string_view refused : {"-1BZZ", "-1B", "", "xx05", "-1B0"})
    EXPECT_EQ(exchange(*a, refused), "NAK") << refused;
  EXPECT_EQ(receive(*a, kCommandIn, 1024, 0), nullopt);  // one reply per command

  // A throwing handler is a refusal; a handler replaced on one instrument leaves the other alone.
  v3->on("05", [](CommandContext&) -> void { throw std::runtime_error("broken"); });
  EXPECT_EQ(exchange(*a, "-1B05"), "NAK");
  EXPECT_EQ(exchange(*b, "-1B05"), kOlder);
  v3->on("05",
         [](CommandContext& c) { c.reply(std::string(c.args()) + "|" + std::string(c.code())); });
  EXPECT_EQ(exchange(*a, "-1B05xyz"), "xyz|05");
}

TEST_F(SimWire, ReadsTakeWhatFitsAndFifosBelongToTheInstrument) {
  make({.fifoMessages = 3});
  auto other = backend->open(0);
  ASSERT_TRUE(send(*h, "-1B05") && send(*h, "-1B05"));
  EXPECT_EQ(receive(*other, kCommandIn, 7), "VERSION");  // whichever handle reads gets it
  EXPECT_EQ(receive(*h, kCommandIn, 4), "1309");
  EXPECT_EQ(receive(*h, kCommandIn, 1024), "04A-V3");  // not running into the next message
  EXPECT_EQ(receive(*h, kCommandIn, 17), kV3);         // exactly the capacity

  ASSERT_TRUE(send(*h, "-1B05"));
  long zero = 0, negative = -5, some = 4;
  uint8_t byte = 0;
  EXPECT_EQ(h->bulkTransfer(kCommandIn, nullptr, zero, 0), Result::ok);  // moves and takes nothing
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(h->bulkTransfer(kCommandIn, &byte, negative, 0), Result::other);
  EXPECT_EQ(h->bulkTransfer(kCommandOut, nullptr, some, 0), Result::other);
  EXPECT_EQ(h->bulkTransfer(0x01, &byte, some, 0), Result::other);
  EXPECT_EQ(receive(*h, kCommandIn, 80), kV3);

  // Bounded: the oldest messages give way.
  int n = 0;
  inst->on("98", [&n](CommandContext& c) { c.reply(std::to_string(n++)); });
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(send(*h, "-1B98"));
  EXPECT_EQ(inst->queuedMessages(kCommandIn), 3u);
  for (std::string_view expected : {"2", "3", "4"}) EXPECT_EQ(receive(*h), expected);

  // An idle endpoint times out (time-out 0: at once), no sooner, and stays usable.
  for (uint8_t ep : {kCommandIn, kStatusIn, kScanIn}) {
    EXPECT_EQ(receive(*h, ep, 64, 0), nullopt);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(*h, ep, 64, 5), nullopt);
    EXPECT_GE(msSince(start), 5.0);
  }

  // Vendor request 4 empties every IN FIFO; an unknown request fails.
  inst->on("99", [](CommandContext& c) {
    c.push(kStatusIn, std::string_view("status"));
    c.push(kScanIn, std::string_view("scan"));
    c.ack();
  });
  ASSERT_TRUE(send(*h, "-1B99"));
  EXPECT_EQ(inst->queuedMessages(kStatusIn), 1u);
  EXPECT_EQ(h->vendorRequest(4, 0, 0, 10000), Result::ok);
  for (uint8_t ep : {kCommandIn, kStatusIn, kScanIn})
    EXPECT_EQ(receive(*h, ep, 64, 0), nullopt) << int(ep);
  EXPECT_EQ(h->vendorRequest(9, 0, 0, 10000), Result::stall);
  EXPECT_EQ(ex("-1B05"), kV3);
}

TEST_F(SimWire, TraceRecordsEveryTransferAndRequest) {
  make({.traceEntries = 5, .traceBytes = 8});
  auto other = backend->open(0);
  ASSERT_EQ(h->vendorRequest(4, 0x12, 0x34, 10000), Result::ok);
  ASSERT_TRUE(send(*h, "-1B05"));
  ASSERT_EQ(receive(*other, kCommandIn, 10), "VERSION130");
  ASSERT_EQ(receive(*other, kCommandIn, 10, 0), "904A-V3");
  ASSERT_EQ(receive(*other, kCommandIn, 10, 0), nullopt);

  auto t = inst->trace();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(std::tuple(t[0].direction, t[0].request, t[0].value, t[0].index),
            std::tuple(Direction::Control, 4, 0x12, 0x34));
  EXPECT_EQ(std::tuple(t[1].direction, t[1].endpoint, t[1].text()),
            std::tuple(Direction::Out, kCommandOut, "-1B05"));
  EXPECT_EQ(std::tuple(t[2].text(), t[2].length), std::tuple("VERSION1", 10u));  // cut to 8 bytes
  EXPECT_EQ(t[3].text(), "904A-V3");
  EXPECT_FALSE(t[4].ok);
  EXPECT_TRUE(t[0].handle != t[2].handle && t[2].handle == t[3].handle);
  EXPECT_TRUE(
      std::is_sorted(t.begin(), t.end(), [](auto& a, auto& b) { return a.timeMs < b.timeMs; }));

  ASSERT_TRUE(send(*h, "-1B05"));  // the oldest entry gives way
  EXPECT_EQ(inst->trace().front().direction, Direction::Out);
}

TEST_F(SimWire, StreamSourceProducesWhatIsDueWithoutAThread) {
  // A 20 ms stream of numbered frames, started by a command, as a status stream would be.
  inst->on("97", [](CommandContext& c) {
    auto next = std::make_shared<TimePoint>(c.now());
    auto count = std::make_shared<int>(0);
    c.setStreamSource(kStatusIn, [next, count](FirmwareContext& f, TimePoint now) {
      for (; *next <= now; *next += std::chrono::milliseconds(20))
        f.push(kStatusIn, std::to_string((*count)++), *next);
      return *next;
    });
    c.ack();
  });
  auto reader = backend->open(0);
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 0), nullopt);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(ex("-1B97"), "ACK");
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 0), "0");
  // Woken when the frame falls due, well before the read's own time-out.
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 10000), "1");
  EXPECT_GE(msSince(start), 20.0);
}

TEST(SimClockTest, ScalesRealTimeAndNeverJumpsBack) {
  SimClock fast(100.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(fast.nowMs(), 500.0);
  fast.setManual(true);
  const double frozen = fast.nowMs();
  fast.advance(250);
  EXPECT_EQ(fast.nowMs(), frozen + 250);
  fast.setManual(false);
  EXPECT_GE(fast.nowMs(), frozen + 250);
}

TEST_F(SimWire, RepliesAlteredOnceWhileCommandsStillRun) {
  struct Case {
    Fault fault;
    std::optional<std::string> reply;
  };
  const Case cases[] = {
      {{.kind = FaultKind::NotAck, .command = "05", .text = "ERR"}, "ERR"},
      {{.kind = FaultKind::ShortReply, .command = "05", .length = 4}, "VERS"},
      {{.kind = FaultKind::ShortReply, .command = "05", .length = 0}, ""},  // still ends a read
      {{.kind = FaultKind::ShortReply, .command = "05"}, "VERSION1"},       // half by default
      {{.kind = FaultKind::NoReply, .command = "05"}, nullopt},
  };
  for (const Case& c : cases) {
    inst->inject(c.fault);
    EXPECT_EQ(ex("-1B94"), "ACK");  // other codes are not counted
    ASSERT_TRUE(send(*h, "-1B05"));
    EXPECT_EQ(receive(*h, kCommandIn, 1024, 20), c.reply) << int(c.fault.kind);
    EXPECT_EQ(ex("-1B05"), kV3);  // fired once
  }
  inst->inject({.kind = FaultKind::NoReply, .command = "94"});
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 5);  // swallowed: not executed either
  inst->inject({.kind = FaultKind::NotAck, .command = "94"});
  EXPECT_EQ(ex("-1B94"), "NAK");
  EXPECT_EQ(executed, 6);

  inst->inject({.kind = FaultKind::GarbageReply, .command = "05"});
  const auto garbage = ex("-1B05");
  ASSERT_TRUE(garbage);
  EXPECT_EQ(garbage->size(), 17u);
  EXPECT_NE(*garbage, kV3);
  inst->inject({.kind = FaultKind::GarbageReply, .command = "05", .length = 300});
  EXPECT_EQ(ex("-1B05")->size(), 300u);
}

TEST_F(SimWire, NthAndRepeatedTriggers) {
  // The 2nd and 3rd "-1B94" refused; "*" counts every command until removed.
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 2, .times = 2});
  EXPECT_EQ(replies(4), (std::vector<std::string>{"ACK", "NAK", "NAK", "ACK"}));
  const int id = inst->inject({.kind = FaultKind::NotAck, .command = "*", .times = 0});
  EXPECT_EQ(ex("-1B05"), "NAK");
  EXPECT_EQ(ex("-1B94"), "NAK");
  inst->removeFault(id);
  EXPECT_EQ(ex("-1B94"), "ACK");

  // Transfer counting: the 3rd read on the command IN endpoint fails, and loses no message.
  inst->inject({.kind = FaultKind::FailedWrite, .endpoint = kCommandIn, .nth = 3});
  EXPECT_EQ(replies(2, "-1B05"), (std::vector<std::string>{kV3, kV3}));
  ASSERT_TRUE(send(*h, "-1B05"));
  EXPECT_EQ(receive(*h), nullopt);
  EXPECT_EQ(receive(*h), kV3);

  // Faults on one trigger count independently; when two are due, the first injected fires and
  // the other takes the next command.
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 2, .text = "A"});
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 3, .text = "B"});
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 3, .text = "C"});
  EXPECT_EQ(replies(5), (std::vector<std::string>{"ACK", "A", "B", "C", "ACK"}));
  inst->inject({.kind = FaultKind::NotAck, .times = 0});
  inst->clearFaults();
  EXPECT_EQ(ex("-1B94"), "ACK");
}

TEST_F(SimWire, FailedWritesAndStallsUntilTheHaltIsCleared) {
  inst->inject({.kind = FaultKind::FailedWrite, .command = "94"});
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(ex("-1B94"), "ACK");
  EXPECT_FALSE(inst->trace().at(0).ok);

  inst->inject({.kind = FaultKind::Stall, .command = "05"});
  EXPECT_FALSE(send(*h, "-1B05"));
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_TRUE(h->resetPipe(kCommandOut));
  EXPECT_EQ(ex("-1B94"), "ACK");

  // A stalled reply endpoint: the command runs, its reply cannot be read until the halt (which
  // belongs to the endpoint, not the handle) is cleared, and the reset drops what was queued.
  inst->inject({.kind = FaultKind::Stall, .command = "94", .endpoint = kCommandIn});
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 3);
  EXPECT_EQ(receive(*h), nullopt);
  auto other = backend->open(0);
  EXPECT_EQ(receive(*other), nullopt);
  EXPECT_TRUE(other->resetPipe(kCommandIn));
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), nullopt);
  EXPECT_EQ(ex("-1B05"), kV3);

  // The same faults on stream reads.
  inst->on("93", [](CommandContext& c) {
    for (std::string_view f : {"frame-1", "frame-2", "frame-3", "frame-4"}) c.push(kStatusIn, f);
    c.ack();
  });
  ASSERT_EQ(ex("-1B93"), "ACK");
  inst->inject({.kind = FaultKind::ShortReply, .endpoint = kStatusIn, .length = 3});
  EXPECT_EQ(receive(*h, kStatusIn), "fra");  // the rest of the frame is lost
  inst->inject({.kind = FaultKind::NoReply, .endpoint = kStatusIn});
  EXPECT_EQ(receive(*h, kStatusIn, 64, 10), nullopt);
  EXPECT_EQ(receive(*h, kStatusIn), "frame-2");
  inst->inject({.kind = FaultKind::Stall, .endpoint = kStatusIn});
  EXPECT_EQ(receive(*h, kStatusIn), nullopt);
  EXPECT_EQ(receive(*h, kStatusIn), nullopt);
  EXPECT_TRUE(h->resetPipe(kStatusIn));
  EXPECT_EQ(receive(*h, kStatusIn, 64, 0), nullopt);
}

TEST_F(SimWire, UnplugFaultsKillEveryOldHandle) {
  inst->inject({.kind = FaultKind::Unplug, .command = "94"});
  EXPECT_EQ(ex("-1B05"), kV3);
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(backend->deviceCount(), 0);
  inst->replug();
  expectDead(*h);
  h = backend->open(0);
  EXPECT_EQ(ex("-1B94"), "ACK");

  // Endpoint 0 counts vendor requests only.
  inst->inject({.kind = FaultKind::Unplug, .endpoint = 0});
  EXPECT_EQ(ex("-1B05"), kV3);
  EXPECT_EQ(h->vendorRequest(4, 0, 0, 10000), Result::noDevice);
  EXPECT_EQ(backend->deviceCount(), 0);
  inst->replug();
  h = backend->open(0);
  inst->inject({.kind = FaultKind::FailedWrite, .endpoint = 0});
  EXPECT_EQ(h->vendorRequest(4, 0, 0, 10000), Result::other);
  EXPECT_EQ(h->vendorRequest(4, 0, 0, 10000), Result::ok);
}

TEST(SimLifecycle, UnplugAndRenumerationLeaveOtherInstrumentsAlone) {
  auto first = std::make_shared<Instrument>();
  auto second = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = kOlder});
  auto later = std::make_shared<Instrument>(InstrumentOptions{.renumerateDelayMs = 60});
  SimBackend backend({first, second}), delayed(later);
  auto old = backend.open(0);
  ASSERT_TRUE(old->resetParentPort());
  ASSERT_TRUE(send(*old, "-1B05"));  // a reply left queued when the cable goes

  first->unplug();
  EXPECT_EQ(backend.deviceCount(), 1);
  auto h = backend.open(0);  // now the second instrument is the first one present
  EXPECT_EQ(exchange(*h, "-1B05"), kOlder);
  EXPECT_EQ(backend.open(1), nullptr);
  first->replug();
  EXPECT_EQ(backend.deviceCount(), 2);
  expectDead(*old);
  auto fresh = backend.open(0);
  EXPECT_EQ(receive(*fresh, kCommandIn, 64, 0), nullopt);  // FIFOs start empty
  EXPECT_EQ(exchange(*fresh, "-1B05"), kV3);
  EXPECT_EQ(exchange(*h, "-1B05"), kOlder);  // the other instrument never noticed

  // Vendor request 5 is an unplug and a replug after the configured delay.
  auto b = delayed.open(0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(b->vendorRequest(5, 0, 0, 10000), Result::ok);
  EXPECT_EQ(delayed.open(0), nullptr);
  while (delayed.deviceCount() == 0 && msSince(start) < kNeverMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(msSince(start), 60.0);
  auto b2 = delayed.open(0);
  ASSERT_TRUE(b2);
  EXPECT_EQ(exchange(*b2, "-1B05"), kV3);
}

// A blocked read wakes when its own handle aborts its endpoint, or when the device goes: long
// before its time-out, and failing.
TEST_F(SimWire, BlockedReadsWakeOnAnAbortOfTheirHandleAndEndpointOrAnUnplug) {
  auto bystander = backend->open(0), scanReader = backend->open(0);
  std::atomic<int> woken{0};
  std::optional<std::string> got = "x", other = "x", scan = "x";
  auto blocked = [&](usb::UsbHandle& r, uint8_t ep, std::optional<std::string>& out) {
    return std::thread([&, ep] {
      out = receive(r, ep, 64, kNeverMs);
      ++woken;
    });
  };
  const auto start = std::chrono::steady_clock::now();
  std::thread t1 = blocked(*h, kStatusIn, got), t2 = blocked(*bystander, kStatusIn, other),
              t3 = blocked(*scanReader, kScanIn, scan);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(h->abortPipe(kScanIn));  // another endpoint of the same handle
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(woken, 0);
  EXPECT_TRUE(h->abortPipe(kStatusIn));
  t1.join();
  EXPECT_EQ(got, nullopt);
  // The other handle's read on the same endpoint kept waiting, and the endpoint still works.
  inst->on("96", [](CommandContext& c) {
    c.push(kStatusIn, std::string_view("frame"));
    c.ack();
  });
  ASSERT_EQ(ex("-1B96"), "ACK");
  t2.join();
  EXPECT_EQ(other, "frame");

  inst->inject({.kind = FaultKind::Unplug, .endpoint = kCommandIn});
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), nullopt);
  t3.join();
  EXPECT_EQ(scan, nullopt);
  EXPECT_LT(msSince(start), kNeverMs);
  EXPECT_EQ(backend->deviceCount(), 0);
}

// The DAC commands of each generation: which are kept, and that a malformed one keeps nothing,
// not even its readable front part. What a scan's codes become on the instrument is the end-to-end
// scan tests' part.
TEST_F(SimWire, DacCommandsOfEachGenerationAreKeptOthersRefused) {
  auto dacs = [&] {
    return inst->withFirmware([](FirmwareContext& f) { return f.state().part<ScanState>().dacs; });
  };
  const std::string all =
      "-1B13008000018000028000"
      "0383e8048000058000068000078000887e0c85dc8980008000"
      "8a800080008b800080000c80000d80000e80000f8000910000ffff";
  EXPECT_EQ(ex(all), "ACK");
  EXPECT_EQ(std::tuple(dacs().startCode[3], dacs().ramped[3], dacs().endCode[8]),
            std::tuple(1000, false, 1500));
  // Channel 32, a ramp without its end, a cut record, a range without its end, the older forms.
  for (std::string bad : {"-1B130383e9208000", "-1B130383e9887e0c", "-1B13038", "-1B130383e9910000",
                          "-1B100002000383e80000", "-1B9000010000001000000b580000"}) {
    EXPECT_EQ(ex(bad), "NAK") << bad;
    EXPECT_EQ(dacs().startCode[3], 1000) << bad;
  }

  make({.firmwareVersion = kOlder});
  for (std::string good : {"-1B100002000383e80000", "-1B10000100097e0c85dc0000FFFF"})
    EXPECT_EQ(ex(good), "ACK") << good;
  EXPECT_EQ(std::tuple(dacs().startCode[3], dacs().endCode[9], dacs().updates),
            std::tuple(1000, 1500, 2u));
  for (std::string bad : {"-1B100001001083e883e8", "-1B100004000083e883e8", "-1B1000020003zz",
                          "-1B100002000383e80000FFFF", all.c_str(), "-1B9F",
                          "-1B9000010010001000000b580000"})  // start not below end
    EXPECT_EQ(ex(bad), "NAK") << bad;
}

}  // namespace
}  // namespace zyl::sim
