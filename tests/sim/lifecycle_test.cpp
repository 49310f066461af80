// Plugging, unplugging, cancellation and parallel use of the simulated instrument.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/sim_test_util.h"

namespace zyl::sim {
namespace {

using namespace zyl::sim::testing;

// Every operation of a handle that saw its instrument go fails, whatever follows.
void expectDead(zyl::usb::UsbHandle& h) {
  EXPECT_FALSE(send(h, "-1B05"));
  EXPECT_EQ(receive(h, kCommandIn, 64, 0), std::nullopt);
  EXPECT_FALSE(h.vendorRequest(4, 0, 0, 10000));
  EXPECT_FALSE(h.abortPipe(kCommandIn));
  EXPECT_FALSE(h.resetPipe(kCommandIn));
  EXPECT_FALSE(h.resetParentPort());
}

TEST(SimLifecycle, UnplugKillsOldHandlesForGood) {
  auto first = std::make_shared<Instrument>();
  auto second = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION110812"});
  SimBackend backend({first, second});
  auto old = backend.open(0);
  ASSERT_TRUE(old->resetParentPort());
  ASSERT_TRUE(send(*old, "-1B05"));  // a reply left queued when the cable goes

  first->unplug();
  EXPECT_EQ(backend.deviceCount(), 1);
  auto h = backend.open(0);  // now the second instrument is the first one present
  ASSERT_TRUE(h);
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION110812");
  EXPECT_EQ(backend.open(1), nullptr);
  expectDead(*old);

  first->replug();
  EXPECT_EQ(backend.deviceCount(), 2);
  expectDead(*old);
  auto fresh = backend.open(0);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(receive(*fresh, kCommandIn, 64, 0), std::nullopt);  // FIFOs start empty
  EXPECT_EQ(exchange(*fresh, "-1B05"), "VERSION130904A-V3");
  EXPECT_EQ(exchange(*h, "-1B05"), "VERSION110812");  // the other instrument never noticed
}

TEST(SimLifecycle, RenumerationIsUnplugAndReplug) {
  auto now = std::make_shared<Instrument>();
  auto later = std::make_shared<Instrument>(InstrumentOptions{.renumerateDelayMs = 60});
  SimBackend immediate(now), delayed(later);

  auto a = immediate.open(0);
  ASSERT_TRUE(send(*a, "-1B05"));
  EXPECT_TRUE(a->vendorRequest(5, 0, 0, 10000));
  expectDead(*a);
  EXPECT_EQ(immediate.deviceCount(), 1);
  auto a2 = immediate.open(0);
  EXPECT_EQ(receive(*a2, kCommandIn, 64, 0), std::nullopt);
  EXPECT_EQ(exchange(*a2, "-1B05"), "VERSION130904A-V3");

  auto b = delayed.open(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(b->vendorRequest(5, 0, 0, 10000));
  EXPECT_EQ(delayed.deviceCount(), 0);
  EXPECT_EQ(delayed.open(0), nullptr);
  while (delayed.deviceCount() == 0 && msSince(start) < 2000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(msSince(start), 60.0);
  auto b2 = delayed.open(0);
  ASSERT_TRUE(b2);
  EXPECT_EQ(exchange(*b2, "-1B05"), "VERSION130904A-V3");
  expectDead(*b);

  // Requests logged with the handle that sent them, the renumeration included.
  auto t = now->trace();
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[1].direction, Direction::Control);
  EXPECT_EQ(t[1].request, 5);
  EXPECT_TRUE(t[1].ok);
}

TEST(SimLifecycle, AbortPipeWakesABlockedReadOnlyOnThatHandleAndEndpoint) {
  auto inst = std::make_shared<Instrument>();
  SimBackend backend(inst);
  auto reader = backend.open(0);
  auto bystander = backend.open(0);

  std::atomic<bool> statusDone{false}, otherDone{false};
  bool statusOk = true, otherOk = true;
  double waited = 0;
  std::thread blocked([&] {
    auto start = std::chrono::steady_clock::now();
    statusOk = receive(*reader, kStatusIn, 64, 5000).has_value();
    waited = msSince(start);
    statusDone = true;
  });
  std::thread other([&] {
    otherOk = receive(*bystander, kStatusIn, 64, 5000).has_value();
    otherDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(statusDone);
  // Aborting another endpoint of the same handle leaves the read alone.
  EXPECT_TRUE(reader->abortPipe(kScanIn));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(statusDone);
  EXPECT_TRUE(reader->abortPipe(kStatusIn));
  blocked.join();
  EXPECT_FALSE(statusOk);
  EXPECT_LT(waited, 1000.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(otherDone);  // the other handle's read on the same endpoint keeps waiting
  EXPECT_TRUE(bystander->abortPipe(kStatusIn));
  other.join();
  EXPECT_FALSE(otherOk);

  // The endpoint works afterwards.
  inst->on("96", [](CommandContext& c) {
    c.push(kStatusIn, std::string_view("frame"));
    c.ack();
  });
  ASSERT_EQ(exchange(*bystander, "-1B96"), "ACK");
  EXPECT_EQ(receive(*reader, kStatusIn, 64, 100), "frame");
}

TEST(SimLifecycle, UnplugWakesBlockedReadsOnEveryHandle) {
  auto inst = std::make_shared<Instrument>();
  SimBackend backend(inst);
  auto a = backend.open(0);
  auto b = backend.open(0);
  std::optional<std::string> ra = "x", rb = "x";
  auto start = std::chrono::steady_clock::now();
  std::thread ta([&] { ra = receive(*a, kCommandIn, 64, 5000); });
  std::thread tb([&] { rb = receive(*b, kScanIn, 64, 5000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  inst->unplug();
  ta.join();
  tb.join();
  EXPECT_EQ(ra, std::nullopt);
  EXPECT_EQ(rb, std::nullopt);
  EXPECT_LT(msSince(start), 1000.0);
}

TEST(SimLifecycle, ParallelHandlesFromTwoThreads) {
  auto inst = std::make_shared<Instrument>();
  auto other = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION110812"});
  SimBackend backend({inst, other});
  // A stream runs while two threads exchange commands with two instruments.
  inst->on("95", [](CommandContext& c) {
    for (int i = 0; i < 50; ++i) c.push(kStatusIn, std::to_string(i));
    c.ack();
  });
  constexpr int kRounds = 300;
  std::atomic<int> failures{0};
  auto worker = [&](int index, std::string expected) {
    auto h = backend.open(index);
    if (!h) return void(++failures);
    for (int i = 0; i < kRounds; ++i)
      if (exchange(*h, "-1B05") != expected) ++failures;
  };
  auto streamer = backend.open(0);
  ASSERT_EQ(exchange(*streamer, "-1B95"), "ACK");
  std::thread t1(worker, 0, "VERSION130904A-V3");
  std::thread t2(worker, 1, "VERSION110812");
  int frames = 0;
  while (receive(*streamer, kStatusIn, 64, 50)) ++frames;
  t1.join();
  t2.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(frames, 50);
  EXPECT_EQ(other->trace().size(), 2u * kRounds);
}

}  // namespace
}  // namespace zyl::sim
