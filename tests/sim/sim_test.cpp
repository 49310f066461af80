// The simulator's own checks, kept to what the library's fault handling leans on and its tests
// would not notice if the oracle got it wrong: unplugging (old handles dead for good, blocked
// reads woken) and replug. What each injected fault does is proven through the whole stack by
// the fault matrix.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "zyl/sim/SimBackend.h"

namespace zyl::sim {
namespace {

using std::nullopt;
using Result = zyl::usb::TransferResult;
using Reply = std::optional<std::string>;
constexpr const char* kV3 = "VERSION130904A-V3";
constexpr uint32_t kNeverMs = 20000;  // only a read nobody wakes reaches it

bool send(usb::UsbHandle& h, std::string_view text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  long length = static_cast<long>(bytes.size());
  return h.bulkTransfer(kCommandOut, bytes.data(), length, 1000) == Result::ok &&
         length == long(bytes.size());
}
// One IN transfer into a buffer with a guard byte behind it; nullopt when it failed.
Reply receive(usb::UsbHandle& h, uint8_t ep = kCommandIn, uint32_t timeoutMs = 200) {
  std::vector<uint8_t> buffer(1025, 0xEE);
  long length = 1024;
  if (h.bulkTransfer(ep, buffer.data(), length, timeoutMs) != Result::ok) return nullopt;
  if (buffer.back() != 0xEE) return "<overrun>";
  return std::string(buffer.begin(), buffer.begin() + length);
}

class SimWire : public ::testing::Test {
 protected:
  void SetUp() override {
    inst = std::make_shared<Instrument>();
    backend = std::make_shared<SimBackend>(inst);
    h = backend->open(0);
    // A command with a visible side effect, to tell "not executed" from "not answered".
    inst->on("94", [this](CommandContext& c) {
      ++executed;
      c.ack();
    });
  }
  Reply ex(std::string_view command) { return send(*h, command) ? receive(*h) : nullopt; }
  std::shared_ptr<Instrument> inst;
  std::shared_ptr<SimBackend> backend;
  std::unique_ptr<usb::UsbHandle> h;
  int executed = 0;
};

// Unplugging wakes blocked reads and kills every handle opened before it, also after the replug;
// an abort wakes only its own handle's read. (Re-enumeration is the USB stack test's, against the
// kernel; the trace is read by most tests through their `sent` helpers.)
TEST_F(SimWire, UnplugAbortAndReplug) {
  auto bystander = backend->open(0);
  Reply aborted = "x", other = "x";
  const auto start = std::chrono::steady_clock::now();
  std::thread t1([&] { aborted = receive(*h, kStatusIn, kNeverMs); });
  std::thread t2([&] { other = receive(*bystander, kStatusIn, kNeverMs); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(h->abortPipe(kStatusIn));
  t1.join();
  EXPECT_EQ(aborted, nullopt);
  inst->inject({.kind = FaultKind::Unplug, .command = "94"});
  EXPECT_EQ(ex("-1B05"), kV3);
  EXPECT_FALSE(send(*h, "-1B94"));
  t2.join();
  EXPECT_EQ(other, nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kNeverMs));
  EXPECT_EQ(std::tuple(executed, backend->deviceCount(), backend->open(0)),
            std::tuple(0, 0, nullptr));
  inst->replug();
  for (auto* dead : {h.get(), bystander.get()}) {
    EXPECT_FALSE(send(*dead, "-1B05"));
    EXPECT_EQ(receive(*dead, kCommandIn, 0), nullopt);
    EXPECT_EQ(dead->vendorRequest(4, 0, 0, 10000), Result::noDevice);
    EXPECT_FALSE(dead->abortPipe(kCommandIn) || dead->resetPipe(kCommandIn));
  }
  h = backend->open(0);
  EXPECT_EQ(ex("-1B94"), "ACK");

  // A reply waits for whichever handle reads it.
  auto reader = backend->open(0);
  ASSERT_TRUE(send(*h, "-1B05"));
  EXPECT_EQ(receive(*reader), kV3);
  EXPECT_EQ(receive(*reader, kCommandIn, 0), nullopt);
}

}  // namespace
}  // namespace zyl::sim
