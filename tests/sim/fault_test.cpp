// Fault injection, by command code and by transfer count, and the instrument's lifecycle:
// unplugging, renumeration and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/sim_test_util.h"

namespace zyl::sim {
namespace {

using namespace zyl::sim::testing;
constexpr const char* kV3 = "VERSION130904A-V3";
// Long enough that only a read nobody wakes ever reaches it.
constexpr uint32_t kNeverMs = 20000;

class SimFault : public ::testing::Test {
 protected:
  void SetUp() override {
    inst = std::make_shared<Instrument>();
    backend = std::make_shared<SimBackend>(inst);
    h = backend->open(0);
    ASSERT_TRUE(h);
    // A command with a visible side effect, to tell "not executed" from "not answered".
    inst->on("94", [this](CommandContext& c) {
      ++executed;
      c.ack();
    });
  }
  std::vector<std::string> replies(int n, std::string_view command = "-1B94") {
    std::vector<std::string> got;
    for (int i = 0; i < n; ++i) got.push_back(exchange(*h, command).value_or("?"));
    return got;
  }
  std::shared_ptr<Instrument> inst;
  std::shared_ptr<SimBackend> backend;
  std::unique_ptr<zyl::usb::UsbHandle> h;
  int executed = 0;
};

// Every operation of a handle that saw its instrument go fails, whatever follows.
void expectDead(zyl::usb::UsbHandle& h) {
  EXPECT_FALSE(send(h, "-1B05"));
  EXPECT_EQ(receive(h, kCommandIn, 64, 0), std::nullopt);
  EXPECT_FALSE(h.vendorRequest(4, 0, 0, 10000));
  EXPECT_FALSE(h.abortPipe(kCommandIn));
  EXPECT_FALSE(h.resetPipe(kCommandIn));
  EXPECT_FALSE(h.resetParentPort());
}

TEST_F(SimFault, RepliesAlteredOnceWhileCommandsStillRun) {
  struct Case {
    Fault fault;
    std::optional<std::string> reply;
  };
  const Case cases[] = {
      {{.kind = FaultKind::NotAck, .command = "05", .text = "ERR"}, "ERR"},
      {{.kind = FaultKind::ShortReply, .command = "05", .length = 4}, "VERS"},
      {{.kind = FaultKind::ShortReply, .command = "05", .length = 0}, ""},  // still ends a read
      {{.kind = FaultKind::ShortReply, .command = "05"}, "VERSION1"},       // half by default
      {{.kind = FaultKind::NoReply, .command = "05"}, std::nullopt},
  };
  for (const Case& c : cases) {
    inst->inject(c.fault);
    EXPECT_EQ(exchange(*h, "-1B94"), "ACK");  // other codes are not counted
    ASSERT_TRUE(send(*h, "-1B05"));
    EXPECT_EQ(receive(*h, kCommandIn, 1024, 20), c.reply) << int(c.fault.kind);
    EXPECT_EQ(exchange(*h, "-1B05"), kV3);  // fired once
  }
  inst->inject({.kind = FaultKind::NoReply, .command = "94"});
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 5);  // swallowed: not executed either
  inst->inject({.kind = FaultKind::NotAck, .command = "94"});
  EXPECT_EQ(exchange(*h, "-1B94"), "NAK");
  EXPECT_EQ(executed, 6);

  inst->inject({.kind = FaultKind::GarbageReply, .command = "05"});
  const auto garbage = exchange(*h, "-1B05");
  ASSERT_TRUE(garbage);
  EXPECT_EQ(garbage->size(), 17u);
  EXPECT_NE(*garbage, kV3);
  inst->inject({.kind = FaultKind::GarbageReply, .command = "05", .length = 300});
  EXPECT_EQ(exchange(*h, "-1B05")->size(), 300u);
}

TEST_F(SimFault, NthAndRepeatedTriggers) {
  // The 2nd and 3rd "-1B94" refused; "*" counts every command until removed.
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 2, .times = 2});
  EXPECT_EQ(replies(4), (std::vector<std::string>{"ACK", "NAK", "NAK", "ACK"}));
  const int id = inst->inject({.kind = FaultKind::NotAck, .command = "*", .times = 0});
  EXPECT_EQ(exchange(*h, "-1B05"), "NAK");
  EXPECT_EQ(exchange(*h, "-1B94"), "NAK");
  inst->removeFault(id);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");

  // Transfer counting: the 3rd read on the command IN endpoint fails, and loses no message.
  inst->inject({.kind = FaultKind::FailedWrite, .endpoint = kCommandIn, .nth = 3});
  EXPECT_EQ(replies(2, "-1B05"), (std::vector<std::string>{kV3, kV3}));
  ASSERT_TRUE(send(*h, "-1B05"));
  EXPECT_EQ(receive(*h), std::nullopt);
  EXPECT_EQ(receive(*h), kV3);

  // Faults on one trigger count independently; when two are due, the first injected fires and
  // the other takes the next command.
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 2, .text = "A"});
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 3, .text = "B"});
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 3, .text = "C"});
  EXPECT_EQ(replies(5), (std::vector<std::string>{"ACK", "A", "B", "C", "ACK"}));
  inst->inject({.kind = FaultKind::NotAck, .times = 0});
  inst->clearFaults();
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");
}

TEST_F(SimFault, FailedWritesAndStallsUntilTheHaltIsCleared) {
  inst->inject({.kind = FaultKind::FailedWrite, .command = "94"});
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");
  EXPECT_FALSE(inst->trace().at(0).ok);

  inst->inject({.kind = FaultKind::Stall, .command = "05"});
  EXPECT_FALSE(send(*h, "-1B05"));
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_TRUE(h->resetPipe(kCommandOut));
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");

  // A stalled reply endpoint: the command runs, its reply cannot be read until the halt (which
  // belongs to the endpoint, not the handle) is cleared, and the reset drops what was queued.
  inst->inject({.kind = FaultKind::Stall, .command = "94", .endpoint = kCommandIn});
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 3);
  EXPECT_EQ(receive(*h), std::nullopt);
  auto other = backend->open(0);
  EXPECT_EQ(receive(*other), std::nullopt);
  EXPECT_TRUE(other->resetPipe(kCommandIn));
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), std::nullopt);
  EXPECT_EQ(exchange(*h, "-1B05"), kV3);

  // The same faults on stream reads.
  inst->on("93", [](CommandContext& c) {
    for (std::string_view f : {"frame-1", "frame-2", "frame-3", "frame-4"}) c.push(kStatusIn, f);
    c.ack();
  });
  ASSERT_EQ(exchange(*h, "-1B93"), "ACK");
  inst->inject({.kind = FaultKind::ShortReply, .endpoint = kStatusIn, .length = 3});
  EXPECT_EQ(receive(*h, kStatusIn), "fra");  // the rest of the frame is lost
  inst->inject({.kind = FaultKind::NoReply, .endpoint = kStatusIn});
  EXPECT_EQ(receive(*h, kStatusIn, 64, 10), std::nullopt);
  EXPECT_EQ(receive(*h, kStatusIn), "frame-2");
  inst->inject({.kind = FaultKind::Stall, .endpoint = kStatusIn});
  EXPECT_EQ(receive(*h, kStatusIn), std::nullopt);
  EXPECT_EQ(receive(*h, kStatusIn), std::nullopt);
  EXPECT_TRUE(h->resetPipe(kStatusIn));
  EXPECT_EQ(receive(*h, kStatusIn, 64, 0), std::nullopt);
}

TEST_F(SimFault, UnplugFaultsKillEveryOldHandleAndWakeBlockedReads) {
  inst->inject({.kind = FaultKind::Unplug, .command = "94"});
  EXPECT_EQ(exchange(*h, "-1B05"), kV3);
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(backend->deviceCount(), 0);
  inst->replug();
  expectDead(*h);
  h = backend->open(0);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");

  // Endpoint 0 counts vendor requests only.
  inst->inject({.kind = FaultKind::Unplug, .endpoint = 0});
  EXPECT_EQ(exchange(*h, "-1B05"), kV3);
  EXPECT_FALSE(h->vendorRequest(4, 0, 0, 10000));
  EXPECT_EQ(backend->deviceCount(), 0);
  inst->replug();
  h = backend->open(0);
  inst->inject({.kind = FaultKind::FailedWrite, .endpoint = 0});
  EXPECT_FALSE(h->vendorRequest(4, 0, 0, 10000));
  EXPECT_TRUE(h->vendorRequest(4, 0, 0, 10000));

  // Reads blocked on other handles wake and fail, long before their time-out.
  auto a = backend->open(0);
  auto b = backend->open(0);
  std::optional<std::string> ra = "x", rb = "x";
  const auto start = std::chrono::steady_clock::now();
  std::thread ta([&] { ra = receive(*a, kCommandIn, 64, kNeverMs); });
  std::thread tb([&] { rb = receive(*b, kScanIn, 64, kNeverMs); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  inst->inject({.kind = FaultKind::Unplug, .endpoint = kCommandIn});
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), std::nullopt);
  ta.join();
  tb.join();
  EXPECT_EQ(ra, std::nullopt);
  EXPECT_EQ(rb, std::nullopt);
  EXPECT_LT(msSince(start), kNeverMs);
  EXPECT_EQ(backend->deviceCount(), 0);
}

TEST(SimLifecycle, UnplugAndRenumerationLeaveOtherInstrumentsAlone) {
  auto first = std::make_shared<Instrument>();
  auto second = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION110812"});
  auto later = std::make_shared<Instrument>(InstrumentOptions{.renumerateDelayMs = 60});
  SimBackend backend({first, second}), delayed(later);
  auto old = backend.open(0);
  ASSERT_TRUE(old->resetParentPort());
  ASSERT_TRUE(send(*old, "-1B05"));  // a reply left queued when the cable goes

  first->unplug();
  EXPECT_EQ(backend.deviceCount(), 1);
  auto h = backend.open(0);  // now the second instrument is the first one present
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION110812");
  EXPECT_EQ(backend.open(1), nullptr);
  first->replug();
  EXPECT_EQ(backend.deviceCount(), 2);
  expectDead(*old);
  auto fresh = backend.open(0);
  EXPECT_EQ(receive(*fresh, kCommandIn, 64, 0), std::nullopt);  // FIFOs start empty
  EXPECT_EQ(exchange(*fresh, "-1B05"), kV3);
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION110812");  // the other instrument never noticed

  // Vendor request 5 is an unplug and a replug after the configured delay.
  auto b = delayed.open(0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(b->vendorRequest(5, 0, 0, 10000));
  EXPECT_EQ(delayed.open(0), nullptr);
  while (delayed.deviceCount() == 0 && msSince(start) < kNeverMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(msSince(start), 60.0);
  auto b2 = delayed.open(0);
  ASSERT_TRUE(b2);
  EXPECT_EQ(exchange(*b2, "-1B05"), kV3);
}

TEST(SimLifecycle, AbortPipeWakesABlockedReadOnlyOnThatHandleAndEndpoint) {
  auto inst = std::make_shared<Instrument>();
  SimBackend backend(inst);
  auto reader = backend.open(0);
  auto bystander = backend.open(0);
  std::atomic<bool> readerDone{false}, bystanderDone{false};
  std::optional<std::string> got = "x";
  double waited = 0;
  std::thread blocked([&] {
    const auto start = std::chrono::steady_clock::now();
    got = receive(*reader, kStatusIn, 64, kNeverMs);
    waited = msSince(start);
    readerDone = true;
  });
  std::thread other([&] {
    receive(*bystander, kStatusIn, 64, kNeverMs);
    bystanderDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(reader->abortPipe(kScanIn));  // another endpoint of the same handle
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(readerDone);
  EXPECT_TRUE(reader->abortPipe(kStatusIn));
  blocked.join();
  EXPECT_EQ(got, std::nullopt);
  EXPECT_LT(waited, kNeverMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(bystanderDone);  // the other handle's read on the same endpoint keeps waiting
  EXPECT_TRUE(bystander->abortPipe(kStatusIn));
  other.join();

  inst->on("96", [](CommandContext& c) {
    c.push(kStatusIn, std::string_view("frame"));
    c.ack();
  });
  ASSERT_EQ(exchange(*bystander, "-1B96"), "ACK");
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 100), "frame");  // the endpoint works afterwards
}

}  // namespace
}  // namespace zyl::sim
