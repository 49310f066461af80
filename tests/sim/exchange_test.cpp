// Commands, replies and endpoint FIFOs of the simulated instrument, seen through UsbBackend.
#include <gtest/gtest.h>

#include <thread>

#include "sim/sim_test_util.h"

namespace zyl::sim {
namespace {

using namespace zyl::sim::testing;
constexpr const char* kV3 = "VERSION130904A-V3";

// The endpoint layout is what every end-to-end test connects through; here, what the firmware
// answers.
TEST(SimExchange, VersionsModelsAndRefusals) {
  auto v3 = std::make_shared<Instrument>();
  auto old = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION110812"});
  SimBackend backend({v3, old});
  ASSERT_EQ(backend.deviceCount(), 2);
  auto a = backend.open(0);
  auto b = backend.open(1);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(backend.open(2), nullptr);
  EXPECT_EQ(backend.open(-1), nullptr);
  EXPECT_THROW(Instrument(InstrumentOptions{.bulkInEndpoints = 4}), std::invalid_argument);

  EXPECT_EQ(exchange(*a, "-1B05"), kV3);
  EXPECT_EQ(exchange(*b, "-1B05"), "VERSION110812");
  EXPECT_EQ(exchange(*a, "-1B07"), "zentra Vexa");
  EXPECT_EQ(exchange(*b, "-1B07"), "NAK");  // older firmware does not know its model
  for (std::string_view refused : {"-1BZZ", "-1B", "", "xx05", "-1B0"})
    EXPECT_EQ(exchange(*a, refused), "NAK") << refused;
  EXPECT_EQ(receive(*a, kCommandIn, 1024, 0), std::nullopt);  // one reply per command

  // A throwing handler is a refusal, not an exception; a handler replaced on one instrument leaves
  // the other alone.
  v3->on("05", [](CommandContext&) -> void { throw std::runtime_error("broken"); });
  EXPECT_EQ(exchange(*a, "-1B05"), "NAK");
  EXPECT_EQ(exchange(*b, "-1B05"), "VERSION110812");
  v3->on("05",
         [](CommandContext& c) { c.reply(std::string(c.args()) + "|" + std::string(c.code())); });
  EXPECT_EQ(exchange(*a, "-1B05xyz"), "xyz|05");
}

TEST(SimExchange, ReadsTakeWhatFitsAndFifosBelongToTheInstrument) {
  auto inst = std::make_shared<Instrument>(InstrumentOptions{.fifoMessages = 3});
  SimBackend backend(inst);
  auto h = backend.open(0);
  auto other = backend.open(0);
  ASSERT_TRUE(send(*h, "-1B05"));
  ASSERT_TRUE(send(*h, "-1B05"));
  EXPECT_EQ(receive(*other, kCommandIn, 7), "VERSION");  // whichever handle reads gets it
  EXPECT_EQ(receive(*h, kCommandIn, 4), "1309");
  EXPECT_EQ(receive(*h, kCommandIn, 1024), "04A-V3");  // not running into the next message
  EXPECT_EQ(receive(*h, kCommandIn, 17), kV3);         // exactly the capacity

  ASSERT_TRUE(send(*h, "-1B05"));
  long zero = 0, negative = -5, some = 4;
  uint8_t byte = 0;
  EXPECT_TRUE(h->bulkTransfer(kCommandIn, nullptr, zero, 0));  // moves and takes nothing
  EXPECT_EQ(zero, 0);
  EXPECT_FALSE(h->bulkTransfer(kCommandIn, &byte, negative, 0));
  EXPECT_FALSE(h->bulkTransfer(kCommandOut, nullptr, some, 0));
  EXPECT_FALSE(h->bulkTransfer(0x01, &byte, some, 0));
  EXPECT_EQ(receive(*h, kCommandIn, 80), kV3);

  // Bounded: the oldest messages give way.
  int n = 0;
  inst->on("98", [&n](CommandContext& c) { c.reply(std::to_string(n++)); });
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(send(*h, "-1B98"));
  EXPECT_EQ(inst->queuedMessages(kCommandIn), 3u);
  for (std::string_view expected : {"2", "3", "4"}) EXPECT_EQ(receive(*h), expected);

  // An idle endpoint times out (time-out 0: at once) and stays usable.
  for (uint8_t ep : {kCommandIn, kStatusIn, kScanIn}) {
    EXPECT_EQ(receive(*h, ep, 64, 0), std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(*h, ep, 64, 5), std::nullopt);
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
  EXPECT_TRUE(h->vendorRequest(4, 0, 0, 10000));
  for (uint8_t ep : {kCommandIn, kStatusIn, kScanIn})
    EXPECT_EQ(receive(*h, ep, 64, 0), std::nullopt) << int(ep);
  EXPECT_FALSE(h->vendorRequest(9, 0, 0, 10000));
  EXPECT_EQ(exchange(*h, "-1B05"), kV3);
}

TEST(SimExchange, TraceRecordsEveryTransferAndRequest) {
  auto inst = std::make_shared<Instrument>(InstrumentOptions{.traceEntries = 5, .traceBytes = 8});
  SimBackend backend(inst);
  auto h = backend.open(0);
  auto other = backend.open(0);
  ASSERT_TRUE(h->vendorRequest(4, 0x12, 0x34, 10000));
  ASSERT_TRUE(send(*h, "-1B05"));
  ASSERT_EQ(receive(*other, kCommandIn, 10), "VERSION130");
  ASSERT_EQ(receive(*other, kCommandIn, 10, 0), "904A-V3");
  ASSERT_EQ(receive(*other, kCommandIn, 10, 0), std::nullopt);

  auto t = inst->trace();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].direction, Direction::Control);
  EXPECT_EQ(std::tuple(t[0].request, t[0].value, t[0].index), std::tuple(4, 0x12, 0x34));
  EXPECT_EQ(t[1].direction, Direction::Out);
  EXPECT_EQ(t[1].endpoint, kCommandOut);
  EXPECT_EQ(t[1].text(), "-1B05");
  EXPECT_EQ(t[2].text(), "VERSION1");  // cut to traceBytes; the length says what moved
  EXPECT_EQ(t[2].length, 10u);
  EXPECT_EQ(t[3].text(), "904A-V3");
  EXPECT_FALSE(t[4].ok);
  EXPECT_NE(t[0].handle, t[2].handle);
  EXPECT_EQ(t[2].handle, t[3].handle);
  for (size_t i = 1; i < t.size(); ++i) EXPECT_GE(t[i].timeMs, t[i - 1].timeMs);

  ASSERT_TRUE(send(*h, "-1B05"));  // the oldest entry gives way
  EXPECT_EQ(inst->trace().front().direction, Direction::Out);
  inst->clearTrace();
  EXPECT_TRUE(inst->trace().empty());
}

TEST(SimExchange, StreamSourceProducesWhatIsDueWithoutAThread) {
  auto inst = std::make_shared<Instrument>();
  SimBackend backend(inst);
  auto h = backend.open(0);
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
  auto reader = backend.open(0);
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 0), std::nullopt);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(exchange(*h, "-1B97"), "ACK");
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 0), "0");
  // Woken when the frame falls due, well before the read's own time-out.
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 10000), "1");
  EXPECT_GE(msSince(start), 20.0);
}

TEST(SimExchange, PhysicsClockScalesRealTimeAndNeverJumpsBack) {
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

}  // namespace
}  // namespace zyl::sim
