// The device layer over a back end: endpoint list, shortcuts, time-outs and what it refuses.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "link/usb/CyUSB.h"
#include "support/link_fixture.h"
#include "support/zyl_test_peer.h"

namespace zyl::test {
namespace {

class DeviceLayerTest : public FakeLinkTest {};

TEST_F(DeviceLayerTest, EndpointListKeepsDescriptorOrderClosedDevicesRefuseEverything) {
  // An interface whose first IN endpoint is an interrupt one, and whose OUT comes last.
  fake->deviceDescriptor().endpoints = {{0x81, 3, 64, 1},
                                        {0x86, 2, 512, 0},
                                        {0x88, 2, 512, 0},
                                        {0x02, 2, 512, 0},
                                        {0x83, 1, 1024, 1}};
  CCyUSBDevice device;
  ASSERT_EQ(device.endpointCount(), 6);
  EXPECT_EQ(device.endpoint(0), device.controlEndpoint);
  EXPECT_EQ((std::array<int, 4>{device.firstBulkIn->address, device.firstBulkOut->address,
                                device.firstInterruptIn->address, device.firstIsocIn->address}),
            (std::array{0x86, 0x02, 0x81, 0x83}));
  EXPECT_EQ(device.endpoint(6), nullptr);

  // Closed and out-of-range devices refuse everything.
  CCyUSBDevice closed(false);
  EXPECT_EQ(closed.endpointCount(), 0);
  EXPECT_FALSE(closed.resetParentPort() || closed.openDevice(1) || closed.openDevice(-1));
  ASSERT_TRUE(closed.openDevice(0));
  EXPECT_TRUE(closed.resetParentPort());
  closed.closeDevice();
  EXPECT_EQ(closed.firstBulkIn, nullptr);

  // The n-th bulk IN endpoint skips interrupt and isochronous ones.
  fake->devices = 0;
  ZylInterface z;
  EXPECT_EQ(ZylTestPeer::findUsbEndpoint(z, &device, 2)->address, 0x88);
  EXPECT_EQ(ZylTestPeer::findUsbEndpoint(z, &device, 3), nullptr);

  unsigned char buffer[16];  // no isochronous transfers through the back end
  long length = sizeof buffer;
  EXPECT_FALSE(device.firstIsocIn->transfer(buffer, length));
  EXPECT_EQ(length, 0);
}

// The boolean surface stays; the endpoint records why a transfer failed, and the back end's
// report of it reaches the sink the device object was made with, on whatever thread.
TEST_F(DeviceLayerTest, EndpointRecordsWhyATransferFailedAndReportsToItsSink) {
  std::vector<std::string> seen;
  const CCyDiagnostics sink{[](void* to, const char* message) {
                              static_cast<std::vector<std::string>*>(to)->push_back(message);
                            },
                            &seen};
  CCyUSBDevice device(true, nullptr, sink);
  CCyBulkEndPoint* in = device.firstBulkIn;
  using R = TransferResult;
  unsigned char buffer[4];
  long length = sizeof buffer;
  for (R why : {R::timeout, R::stall, R::noDevice, R::cancelled, R::other}) {
    fake->fail(kCommandIn, why);
    EXPECT_FALSE(in->transfer(buffer, length));
    EXPECT_EQ(in->lastResult, why);
    EXPECT_EQ(in->systemStatus, 1u);
    EXPECT_EQ(seen.back(),
              std::string("fake: transfer on endpoint 0x86 failed: ") + zyl::usb::describe(why));
  }
  fake->queue(kCommandIn, "ACK");
  length = sizeof buffer;
  EXPECT_TRUE(in->transfer(buffer, length));
  EXPECT_EQ(in->lastResult, R::ok);
  fake->fail(0, R::stall);  // vendor requests too
  EXPECT_FALSE(device.controlEndpoint->vendorRequest(4));
  EXPECT_EQ(device.controlEndpoint->lastResult, R::stall);

  // Without a sink the report goes nowhere, not to another device object's sink.
  const size_t before = seen.size();
  CCyUSBDevice quiet;
  fake->fail(kCommandIn, R::stall);
  EXPECT_FALSE(quiet.firstBulkIn->transfer(buffer, length));
  EXPECT_EQ(seen.size(), before);
}

// A back end that breaks its promise not to throw.
class ThrowingBackend : public zyl::usb::UsbBackend {
 public:
  const char* name() const override { return "throwing"; }
  int deviceCount() override { throw std::runtime_error("bus gone"); }
  std::unique_ptr<zyl::usb::UsbHandle> open(int) override { throw std::bad_alloc(); }
};

TEST_F(DeviceLayerTest, ABackEndThatThrowsIsNoDevice) {
  zyl::usb::useBackend(std::make_shared<ThrowingBackend>());
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
}

}  // namespace
}  // namespace zyl::test
