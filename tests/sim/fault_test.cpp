// Fault injection: each kind, by command code and by transfer count.
#include <gtest/gtest.h>

#include <thread>

#include "sim/sim_test_util.h"

namespace zyl::sim {
namespace {

using namespace zyl::sim::testing;

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
  std::shared_ptr<Instrument> inst;
  std::shared_ptr<SimBackend> backend;
  std::unique_ptr<zyl::usb::UsbHandle> h;
  int executed = 0;
};

TEST_F(SimFault, NoReplySwallowsTheCommandOnce) {
  inst->inject({.kind = FaultKind::NoReply, .command = "94"});
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");  // other codes are not counted
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(receive(*h, kCommandIn, 64, 20), std::nullopt);
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");
  EXPECT_EQ(executed, 1);
}

TEST_F(SimFault, LateReplyArrivesAfterItsDelay) {
  auto start = std::chrono::steady_clock::now();
  inst->inject({.kind = FaultKind::LateReply, .command = "05", .delayMs = 250});
  ASSERT_TRUE(send(*h, "-1B05"));
  EXPECT_EQ(receive(*h, kCommandIn, 64, 20), std::nullopt);  // the host gives up first
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), std::nullopt);
  EXPECT_EQ(receive(*h, kCommandIn, 64, 2000), "VERSION130904A-V3");
  EXPECT_GE(msSince(start), 250.0);
  // A later command's reply queues behind the late one, as in a FIFO.
  inst->inject({.kind = FaultKind::LateReply, .command = "05", .delayMs = 250});
  ASSERT_TRUE(send(*h, "-1B05"));
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), std::nullopt);
  EXPECT_EQ(receive(*h, kCommandIn, 64, 2000), "VERSION130904A-V3");
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), "ACK");
}

TEST_F(SimFault, RepliesAlteredButCommandsExecuted) {
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .text = "ERR"});
  inst->inject({.kind = FaultKind::ShortReply, .command = "05", .length = 4});
  EXPECT_EQ(exchange(*h, "-1B94"), "ERR");
  EXPECT_EQ(executed, 1);
  EXPECT_EQ(exchange(*h, "-1B05"), "VERS");
  inst->inject({.kind = FaultKind::ShortReply, .command = "05", .length = 0});
  EXPECT_EQ(exchange(*h, "-1B05"), "");  // an empty reply still ends the transfer
  inst->inject({.kind = FaultKind::ShortReply, .command = "05"});
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION1");  // half of the 17 characters by default

  inst->inject({.kind = FaultKind::GarbageReply, .command = "05"});
  auto garbage = exchange(*h, "-1B05");
  ASSERT_TRUE(garbage);
  EXPECT_EQ(garbage->size(), 17u);
  EXPECT_NE(*garbage, "VERSION130904A-V3");
  inst->inject({.kind = FaultKind::GarbageReply, .command = "05", .length = 300});
  EXPECT_EQ(exchange(*h, "-1B05")->size(), 300u);
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");  // each fired once
}

TEST_F(SimFault, NthAndRepeatedTriggers) {
  // The 2nd and 3rd "-1B94" refused; "*" counts every command.
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 2, .times = 2});
  std::vector<std::string> got;
  for (int i = 0; i < 4; ++i) got.push_back(exchange(*h, "-1B94").value_or("?"));
  EXPECT_EQ(got, (std::vector<std::string>{"ACK", "NAK", "NAK", "ACK"}));

  int id = inst->inject({.kind = FaultKind::NotAck, .command = "*", .times = 0});
  EXPECT_EQ(exchange(*h, "-1B05"), "NAK");
  EXPECT_EQ(exchange(*h, "-1B94"), "NAK");
  inst->removeFault(id);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");

  // Transfer counting: the 3rd transfer on the command IN endpoint fails; only reads count.
  inst->inject({.kind = FaultKind::FailedWrite, .endpoint = kCommandIn, .nth = 3});
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");
  ASSERT_TRUE(send(*h, "-1B05"));
  EXPECT_EQ(receive(*h), std::nullopt);
  EXPECT_EQ(receive(*h), "VERSION130904A-V3");  // the message was not lost

  // Two faults on one trigger count independently; when both are due, the first injected fires
  // and the other takes the next command.
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 2, .text = "A"});
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 3, .text = "B"});
  inst->inject({.kind = FaultKind::NotAck, .command = "94", .nth = 3, .text = "C"});
  got.clear();
  for (int i = 0; i < 5; ++i) got.push_back(exchange(*h, "-1B94").value_or("?"));
  EXPECT_EQ(got, (std::vector<std::string>{"ACK", "A", "B", "C", "ACK"}));

  inst->inject({.kind = FaultKind::NotAck, .times = 0});
  inst->clearFaults();
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");
}

TEST_F(SimFault, FailedWriteAndStall) {
  inst->inject({.kind = FaultKind::FailedWrite, .command = "94"});
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");
  auto t = inst->trace();
  ASSERT_GE(t.size(), 3u);
  EXPECT_FALSE(t[0].ok);
  EXPECT_EQ(t[0].direction, Direction::Out);

  // A stalled OUT endpoint fails every write until its halt is cleared.
  inst->inject({.kind = FaultKind::Stall, .command = "05"});
  EXPECT_FALSE(send(*h, "-1B05"));
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_TRUE(h->resetPipe(kCommandOut));
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");

  // Stalling the reply endpoint: the command runs, its reply cannot be read until the reset,
  // which also drops what was queued there.
  inst->inject({.kind = FaultKind::Stall, .command = "94", .endpoint = kCommandIn});
  ASSERT_TRUE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 3);
  EXPECT_EQ(receive(*h), std::nullopt);
  EXPECT_EQ(receive(*h), std::nullopt);
  auto other = backend->open(0);  // the halt belongs to the endpoint, not the handle
  EXPECT_EQ(receive(*other), std::nullopt);
  EXPECT_TRUE(other->resetPipe(kCommandIn));
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), std::nullopt);
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");
}

TEST_F(SimFault, FaultsOnStreamReads) {
  inst->on("93", [](CommandContext& c) {
    for (std::string_view f : {"frame-1", "frame-2", "frame-3", "frame-4"}) c.push(kStatusIn, f);
    c.ack();
  });
  ASSERT_EQ(exchange(*h, "-1B93"), "ACK");
  inst->inject({.kind = FaultKind::ShortReply, .endpoint = kStatusIn, .length = 3});
  EXPECT_EQ(receive(*h, kStatusIn), "fra");  // the rest of the frame is lost
  inst->inject({.kind = FaultKind::NoReply, .endpoint = kStatusIn});
  EXPECT_EQ(receive(*h, kStatusIn, 64, 10), std::nullopt);
  inst->inject({.kind = FaultKind::LateReply, .endpoint = kStatusIn, .delayMs = 40});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(*h, kStatusIn, 64, 1000), "frame-2");
  EXPECT_GE(msSince(start), 35.0);
  inst->inject({.kind = FaultKind::Stall, .endpoint = kStatusIn});
  EXPECT_EQ(receive(*h, kStatusIn), std::nullopt);
  EXPECT_EQ(receive(*h, kStatusIn), std::nullopt);
  EXPECT_TRUE(h->resetPipe(kStatusIn));
  EXPECT_EQ(receive(*h, kStatusIn, 64, 0), std::nullopt);  // the reset dropped the queue
}

TEST_F(SimFault, UnplugFaults) {
  // Unplug on a command: the write fails and the device is gone until replugged.
  inst->inject({.kind = FaultKind::Unplug, .command = "94"});
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");
  EXPECT_FALSE(send(*h, "-1B94"));
  EXPECT_EQ(executed, 0);
  EXPECT_EQ(backend->deviceCount(), 0);
  EXPECT_FALSE(send(*h, "-1B05"));
  inst->replug();
  EXPECT_FALSE(send(*h, "-1B05"));
  h = backend->open(0);
  EXPECT_EQ(exchange(*h, "-1B94"), "ACK");

  // Unplug on a vendor request (endpoint 0 counts only those).
  inst->inject({.kind = FaultKind::Unplug, .endpoint = 0});
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION130904A-V3");
  EXPECT_FALSE(h->vendorRequest(4, 0, 0, 10000));
  EXPECT_EQ(backend->deviceCount(), 0);
  inst->replug();
  h = backend->open(0);
  inst->inject({.kind = FaultKind::FailedWrite, .endpoint = 0});
  EXPECT_FALSE(h->vendorRequest(4, 0, 0, 10000));
  EXPECT_TRUE(h->vendorRequest(4, 0, 0, 10000));

  // Unplug on a read blocked in another thread's handle: the reader wakes and fails.
  auto reader = backend->open(0);
  std::optional<std::string> got = "x";
  std::thread t([&] { got = receive(*reader, kScanIn, 64, 5000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  inst->inject({.kind = FaultKind::Unplug, .endpoint = kCommandIn});
  EXPECT_EQ(receive(*h, kCommandIn, 64, 0), std::nullopt);
  t.join();
  EXPECT_EQ(got, std::nullopt);
  EXPECT_EQ(backend->deviceCount(), 0);
}

}  // namespace
}  // namespace zyl::sim
