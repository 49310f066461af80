// The library over the libusb back end and a real Linux USB stack: the instrument is the zyl_gadget
// program on the device side of dummy_hcd, in the virtual machine that tests/usb-stack/run boots.
// Outside that machine (no ZYL_GADGET_UDC_FILE in the environment) every test is skipped.
//
// What the simulator's own back end cannot show and these tests can: descriptors as the kernel
// reports them, transfers that really end at short or zero-length packets, cancellation of URBs on
// time-out and abort, several handles sharing one claimed interface, and a device that really
// leaves the bus and comes back under a new address.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/usb/CyUSB.h"
#include "tools/gadget/test_commands.h"
#include "zyl/UsbBackend.h"
#include "zyl/ZylInterface.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kOk = zyl::usb::TransferResult::ok;
using namespace std::chrono_literals;

constexpr char kVersion[] = "VERSION130904A-V3";

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

int instrumentsPresent() {
  return zyl::usb::currentBackend()->deviceCount();
}

bool writeUdc(const std::string& text) {
  std::ofstream udc(env("ZYL_GADGET_UDC_FILE"));
  udc << text << "\n";
  udc.flush();
  return static_cast<bool>(udc);
}

// The USB address of the gadget as the host's kernel sees it; a new one after each enumeration.
std::string gadgetAddress() {
  std::ifstream in(env("ZYL_GADGET_SYSFS") + "/devnum");
  std::string devnum;
  in >> devnum;
  return devnum;
}

std::string text(const unsigned char* data, long length) {
  return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
}

// Compares with the gadget's payload pattern; reports the first difference only.
::testing::AssertionResult isPayload(const unsigned char* data, long length) {
  for (long i = 0; i < length; ++i)
    if (data[i] != zyl::gadget::payloadByte(static_cast<size_t>(i)))
      return ::testing::AssertionFailure() << "byte " << i << " of " << length << " differs";
  return ::testing::AssertionSuccess();
}

// Brings the command pipe to a known state below the library: writes a marker command on a handle
// of our own and reads until its reply comes, dropping whatever an earlier test left in the pipe
// (a reply it never read is still queued in the kernel's gadget stack, as it would be in an FX2).
bool resynchronise() {
  std::unique_ptr<zyl::usb::UsbHandle> handle = zyl::usb::currentBackend()->open(0);
  if (!handle) return false;
  uint8_t out = 0, in = 0;
  for (const auto& ep : handle->descriptor().endpoints) {
    if ((ep.attributes & 3) != 2) continue;
    if (ep.address & 0x80) {
      if (!in) in = ep.address;
    } else if (!out) {
      out = ep.address;
    }
  }
  static int round = 0;
  char marker[32];
  std::snprintf(marker, sizeof marker, "-1BZXsync%d", ++round);
  long length = static_cast<long>(std::strlen(marker));
  if (handle->bulkTransfer(out, reinterpret_cast<uint8_t*>(marker), length, 2000) != kOk)
    return false;
  std::vector<uint8_t> reply(70000);
  for (int reads = 0; reads < 64; ++reads) {
    length = static_cast<long>(reply.size());
    if (handle->bulkTransfer(in, reply.data(), length, 2000) != kOk) return false;
    if (text(reply.data(), length) == marker + 5) return true;
  }
  return false;
}

class UsbStack : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("ZYL_GADGET_UDC_FILE").empty())
      GTEST_SKIP() << "needs the gadget's virtual machine (tests/usb-stack/run)";
    ASSERT_TRUE(env("ZYL_BACKEND").empty()) << "these tests are about the libusb back end";
    // Whatever an earlier test did, the instrument is on the bus and its command pipe is quiet
    // before this one starts.
    ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 1; }, 15s));
    ASSERT_TRUE(resynchronise());
  }

  // A connected instrument object, as a host gets it, on a quiet command pipe (see
  // resynchronise: under emulation the connection's flush can time out and leave its reply behind).
  std::unique_ptr<ZylInterface> connect() {
    auto zyl = std::make_unique<ZylInterface>("/tmp");
    EXPECT_EQ(zyl->GetCommunicationState(), CommInitialized);
    EXPECT_TRUE(resynchronise());
    return zyl;
  }

  // "-1B05" with the usual capacity; "" when the exchange failed.
  static std::string version(ZylInterface& zyl, unsigned int* result = nullptr) {
    unsigned char reply[80];
    long length = sizeof reply;
    unsigned int r = zyl.ZylUSBExecuteCommand("-1B05", reply, length, true, 2000, 2000);
    if (result) *result = r;
    return r == ZYL_SUCCESS ? text(reply, length) : "";
  }

  static unsigned int acknowledged(ZylInterface& zyl, const char* command) {
    return zyl.ZylUSBExecuteCommand(command, nullptr, ZylInterface::GlDummy, true, 2000, 2000);
  }
};

TEST_F(UsbStack, ConnectsThroughTheKernelStackToInitialized) {
  auto zyl = connect();
  EXPECT_STREQ(zyl->firmwareVersion, kVersion);
  EXPECT_EQ(zyl->IsV3(), 1);

  // What the kernel enumerated, not what a simulator would invent: the strings come from the
  // gadget's configfs setup, the endpoint addresses from the UDC.
  ASSERT_NE(zyl->commandDevice, nullptr);
  CCyUSBDevice& device = *zyl->commandDevice;
  EXPECT_EQ(device.vendorId, 0x04B4);
  EXPECT_EQ(device.manufacturer, env("ZYL_GADGET_MANUFACTURER"));
  EXPECT_TRUE(device.highSpeed);
  ASSERT_EQ(device.endpointCount(), 5);
  EXPECT_EQ(device.endpoint(0), device.controlEndpoint);
  EXPECT_FALSE(device.endpoint(1)->in);
  for (int i = 1; i < 5; ++i) {
    EXPECT_EQ(device.endpoint(i)->attributes, 2) << i;
    EXPECT_EQ(device.endpoint(i)->maxPktSize, 512) << i;
    if (i > 1) {
      EXPECT_TRUE(device.endpoint(i)->in) << i;
    }
  }
  EXPECT_EQ(device.firstBulkOut, device.endpoint(1));
  EXPECT_EQ(device.firstBulkIn, device.endpoint(2));

  // The status and scan pipes open their own handles onto the one claimed interface.
  EXPECT_EQ(zyl->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(zyl->ensureScanPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(zyl->statusEndpoint->address, device.endpoint(3)->address);
  EXPECT_EQ(zyl->scanEndpoint->address, device.endpoint(4)->address);
  EXPECT_EQ(version(*zyl), kVersion);
}

TEST_F(UsbStack, DataRepliesArriveWholeAndExact) {
  auto zyl = connect();
  // Around the 512-byte packet: a reply that fills its last packet ends with a zero-length packet,
  // one that does not with a short one; both must end the read at the reply's end.
  std::vector<unsigned char> reply(70000);
  for (long size : {1L, 80L, 511L, 512L, 513L, 2048L, 4096L, 65552L}) {
    char command[32];
    std::snprintf(command, sizeof command, "-1BZR%08lX", static_cast<unsigned long>(size));
    long length = size + 100;
    ASSERT_EQ(zyl->ZylUSBExecuteCommand(command, reply.data(), length, false, 2000, 5000),
              ZYL_SUCCESS)
        << size;
    EXPECT_EQ(length, size);
    EXPECT_TRUE(isPayload(reply.data(), length)) << size;
    EXPECT_EQ(reply[static_cast<size_t>(length)], 0) << "terminator after " << size;
  }

  // A reply that fills the capacity exactly. (Not a whole number of packets: the zero-length
  // packet that ends such a reply would be a transfer of its own for a read that is already full.)
  long length = 1000;
  ASSERT_EQ(zyl->ZylUSBExecuteCommand("-1BZR000003E8", reply.data(), length, true, 2000, 2000),
            ZYL_SUCCESS);
  EXPECT_EQ(length, 1000);
  EXPECT_TRUE(isPayload(reply.data(), length));

  // A read of a whole number of packets takes that much of a longer reply; the rest is delivered
  // to the next read, not lost and not an overflow.
  long sent = 13;
  unsigned char command[] = "-1BZR000004B0";  // 1200 bytes
  ASSERT_EQ(zyl->ZylUSBSendData(command, sent, 2000), ZYL_SUCCESS);
  length = 1024;
  ASSERT_EQ(zyl->ZylUSBGetData(reply.data(), length, 2000), ZYL_SUCCESS);
  EXPECT_EQ(length, 1024);
  EXPECT_TRUE(isPayload(reply.data(), length));
  length = 1024;
  ASSERT_EQ(zyl->ZylUSBGetData(reply.data() + 1024, length, 2000), ZYL_SUCCESS);
  EXPECT_EQ(length, 1200 - 1024);
  EXPECT_TRUE(isPayload(reply.data(), 1200));

  EXPECT_EQ(version(*zyl), kVersion);
}

TEST_F(UsbStack, AcknowledgedCommandsAreJudgedByTheWholeReply) {
  auto zyl = connect();
  EXPECT_EQ(acknowledged(*zyl, "-1BZXACK"), ZYL_SUCCESS);
  EXPECT_EQ(acknowledged(*zyl, "-1BZXACK~more"), ZYL_SUCCESS);  // "ACK", a zero byte, more
  EXPECT_EQ(acknowledged(*zyl, "-1BZXACKS"), ZYL_NOT_ACKNOWLEDGED);
  EXPECT_EQ(acknowledged(*zyl, "-1BZX"), ZYL_NOT_ACKNOWLEDGED);  // an empty transfer
  EXPECT_EQ(acknowledged(*zyl, "-1BQQ"), ZYL_NOT_ACKNOWLEDGED);  // refused by the firmware
  EXPECT_EQ(acknowledged(*zyl, "-1BZS00000000"), ZYL_SUCCESS);
  // None of these left anything behind in the pipe.
  EXPECT_EQ(version(*zyl), kVersion);
  EXPECT_EQ(zyl->GetCommunicationState(), CommInitialized);
}

TEST_F(UsbStack, PreReadAndClearBuffersFlushWhatTheInstrumentHolds) {
  auto zyl = connect();
  // Replies the instrument still holds (due later) when the flush comes: the vendor request must
  // reach it and empty its buffers, and the flush's own version query must be drained, so that the
  // next exchange pairs with its own reply.
  unsigned char late[] = "-1BZL0190stale";  // 400 ms
  long length = 14;
  ASSERT_EQ(zyl->ZylUSBSendData(late, length, 2000), ZYL_SUCCESS);
  EXPECT_EQ(zyl->ZylUSBPreRead(), ZYL_SUCCESS);
  std::this_thread::sleep_for(500ms);  // past the moment the stale reply was due
  EXPECT_EQ(version(*zyl), kVersion);
  EXPECT_EQ(version(*zyl), kVersion);

  length = 14;
  ASSERT_EQ(zyl->ZylUSBSendData(late, length, 2000), ZYL_SUCCESS);
  EXPECT_EQ(zyl->ClearFX2Buffers(), ZYL_SUCCESS);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(version(*zyl), kVersion);
  EXPECT_EQ(zyl->GetCommunicationState(), CommInitialized);
}

// The flush of a fresh link reads with a 5 ms time-out: data the instrument already holds must
// arrive within it, however long it took to hand the transfer to the kernel.
TEST_F(UsbStack, ShortTimeOutTakesWhatTheInstrumentAlreadyHolds) {
  auto zyl = connect();
  int missed = 0;
  for (int i = 0; i < 50; ++i) {
    char command[32];
    std::snprintf(command, sizeof command, "-1BZXready%d", i);
    long length = static_cast<long>(std::strlen(command));
    ASSERT_EQ(zyl->ZylUSBSendData(reinterpret_cast<unsigned char*>(command), length, 2000),
              ZYL_SUCCESS);
    std::this_thread::sleep_for(50ms);  // the reply is waiting on the device side
    unsigned char reply[64];
    length = sizeof reply;
    if (zyl->ZylUSBGetData(reply, length, 5) != ZYL_SUCCESS) {
      ++missed;
      // Collect it, so that the next round pairs with its own reply.
      length = sizeof reply;
      zyl->ZylUSBGetData(reply, length, 2000);
    }
    EXPECT_EQ(text(reply, length), command + 5);
  }
  EXPECT_EQ(missed, 0) << "of 50 reads of data already waiting";
}

TEST_F(UsbStack, StatusPipeStreamsWhileCommandsRun) {
  auto zyl = connect();
  ASSERT_EQ(zyl->clearStatusPipe(), ZYL_SUCCESS);
  constexpr uint32_t kFrames = 60;
  ASSERT_EQ(acknowledged(*zyl, "-1BZS0019003C"), ZYL_SUCCESS);  // every 25 ms, 60 frames

  std::vector<std::string> frames;
  int failures = 0;
  std::thread reader([&] {
    unsigned char buffer[512];
    while (frames.size() < kFrames && failures < 3) {
      long length = sizeof buffer;
      if (zyl->ZylUSBGetStatusData(buffer, length) == ZYL_SUCCESS)
        frames.push_back(text(buffer, length));
      else
        ++failures;
    }
  });
  int commands = 0, commandFailures = 0;
  auto start = Clock::now();
  while (msSince(start) < 1200) {
    ++commands;
    if (version(*zyl) != kVersion) ++commandFailures;
  }
  reader.join();

  EXPECT_EQ(commandFailures, 0) << "of " << commands;
  EXPECT_GE(commands, 5);
  EXPECT_EQ(failures, 0);
  ASSERT_EQ(frames.size(), kFrames);
  for (uint32_t k = 0; k < kFrames; ++k) EXPECT_EQ(frames[k], zyl::gadget::statusFrame(k)) << k;
  EXPECT_EQ(acknowledged(*zyl, "-1BZS00000000"), ZYL_SUCCESS);
}

TEST_F(UsbStack, ScanPipeCarriesLargeTransfers) {
  auto zyl = connect();
  ASSERT_EQ(zyl->clearScanPipe(), ZYL_SUCCESS);
  std::vector<unsigned char> buffer(7 * 1024 * 1024);
  for (long size : {1000003L, 65536L, 3L}) {
    char command[32];
    std::snprintf(command, sizeof command, "-1BZC%08lX", static_cast<unsigned long>(size));
    ASSERT_EQ(acknowledged(*zyl, command), ZYL_SUCCESS);
    long length = static_cast<long>(buffer.size());
    ASSERT_EQ(zyl->ZylUSBGetScanData(buffer.data(), length, 5000), ZYL_SUCCESS) << size;
    EXPECT_EQ(length, size);
    EXPECT_TRUE(isPayload(buffer.data(), length)) << size;
  }

  // Draining takes what is queued, however much; afterwards the pipe is idle.
  ASSERT_EQ(acknowledged(*zyl, "-1BZC00001388"), ZYL_SUCCESS);  // 5000 bytes
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(zyl->clearScanPipe(), ZYL_SUCCESS);
  long length = static_cast<long>(buffer.size());
  auto start = Clock::now();
  EXPECT_EQ(zyl->ZylUSBGetScanData(buffer.data(), length, 0), ZYL_COMM_FAILURE);
  EXPECT_EQ(length, 0);
  EXPECT_GE(msSince(start), 450);  // a time-out of 0 still waits the 500 ms allowance
}

TEST_F(UsbStack, IdleEndpointTimesOutAndKeepsLateData) {
  auto zyl = connect();
  unsigned char reply[64];

  long length = sizeof reply;
  auto start = Clock::now();
  EXPECT_EQ(zyl->ZylUSBGetData(reply, length, 200), ZYL_COMM_FAILURE);
  long elapsed = msSince(start);
  EXPECT_GE(elapsed, 190);
  EXPECT_LT(elapsed, 1500);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(zyl->GetCommunicationState(), CommNoResponse);

  // A reply that comes after the time-out stays in the pipe for the next read: the cancelled
  // transfer must not have swallowed it.
  unsigned char late[] = "-1BZL012Clate";  // 300 ms
  long sent = 13;
  ASSERT_EQ(zyl->ZylUSBSendData(late, sent, 2000), ZYL_SUCCESS);
  length = sizeof reply;
  EXPECT_EQ(zyl->ZylUSBGetData(reply, length, 100), ZYL_COMM_FAILURE);
  length = sizeof reply;
  ASSERT_EQ(zyl->ZylUSBGetData(reply, length, 3000), ZYL_SUCCESS);
  EXPECT_EQ(text(reply, length), "late");
  EXPECT_EQ(zyl->GetCommunicationState(), CommConnected);

  // Short time-outs on an idle streaming pipe, many in a row, each cancelled cleanly.
  ASSERT_EQ(zyl->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  zyl->statusEndpoint->timeoutMs = 5;
  start = Clock::now();
  for (int i = 0; i < 50; ++i) {
    length = sizeof reply;
    EXPECT_FALSE(zyl->statusEndpoint->transfer(reply, length));
  }
  EXPECT_LT(msSince(start), 3000);
  zyl->statusEndpoint->timeoutMs = 0;  // "do not wait"
  start = Clock::now();
  length = sizeof reply;
  EXPECT_FALSE(zyl->statusEndpoint->transfer(reply, length));
  EXPECT_LT(msSince(start), 500);
  EXPECT_EQ(version(*zyl), kVersion);
}

TEST_F(UsbStack, AbortPipeWakesABlockedReadOnAnotherThread) {
  auto zyl = connect();
  ASSERT_EQ(zyl->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  CCyBulkEndPoint* status = zyl->statusEndpoint;
  CCyBulkEndPoint* commandIn = zyl->commandDevice->firstBulkIn;

  for (CCyBulkEndPoint* endpoint : {status, commandIn}) {
    endpoint->timeoutMs = 10000;
    std::atomic<long> elapsed{-1};
    std::atomic<bool> ok{true};
    std::thread reader([&] {
      unsigned char buffer[512];
      long length = sizeof buffer;
      auto start = Clock::now();
      ok = endpoint->transfer(buffer, length);
      elapsed = msSince(start);
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(elapsed.load(), -1) << "the read did not block";
    EXPECT_TRUE(endpoint->abortPipe());
    reader.join();
    EXPECT_FALSE(ok.load());
    EXPECT_LT(elapsed.load(), 2000) << "endpoint 0x" << std::hex << int{endpoint->address};
  }

  // Both endpoints still work.
  ASSERT_EQ(acknowledged(*zyl, "-1BZS000A0002"), ZYL_SUCCESS);
  unsigned char buffer[512];
  long length = sizeof buffer;
  status->timeoutMs = 3000;
  ASSERT_TRUE(status->transfer(buffer, length));
  EXPECT_EQ(text(buffer, length), zyl::gadget::statusFrame(0));
  EXPECT_EQ(version(*zyl), kVersion);
}

TEST_F(UsbStack, UnplugAndReplugMidSession) {
  auto zyl = connect();
  ASSERT_EQ(zyl->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  ASSERT_EQ(zyl->ensureScanPipeAvailable(), ZYL_SUCCESS);

  // A read blocked when the device goes must fail at once, not at its time-out.
  zyl->statusEndpoint->timeoutMs = 10000;
  std::atomic<long> elapsed{-1};
  std::thread reader([&] {
    unsigned char buffer[512];
    long length = sizeof buffer;
    auto start = Clock::now();
    zyl->statusEndpoint->transfer(buffer, length);
    elapsed = msSince(start);
  });
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(writeUdc(""));
  reader.join();
  EXPECT_GE(elapsed.load(), 0);
  EXPECT_LT(elapsed.load(), 5000);

  unsigned int result = 0;
  EXPECT_EQ(version(*zyl, &result), "");
  EXPECT_EQ(result, ZYL_COMM_FAILURE);
  EXPECT_EQ(zyl->GetCommunicationState(), CommNotConnected);
  ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 0; }, 10s));
  auto start = Clock::now();
  EXPECT_EQ(version(*zyl, &result), "");
  EXPECT_EQ(result, ZYL_COMM_FAILURE);
  EXPECT_LT(msSince(start), 2000) << "with nothing on the bus there is nothing to wait for";

  ASSERT_TRUE(writeUdc(env("ZYL_GADGET_UDC")));
  ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 1; }, 15s));
  EXPECT_EQ(version(*zyl), kVersion);
  EXPECT_EQ(zyl->GetCommunicationState(), CommConnected);

  // Reopening the command pipe reopened the scan pipe onto the new device.
  ASSERT_EQ(acknowledged(*zyl, "-1BZC00001000"), ZYL_SUCCESS);
  std::vector<unsigned char> buffer(8192);
  long length = static_cast<long>(buffer.size());
  ASSERT_EQ(zyl->ZylUSBGetScanData(buffer.data(), length, 3000), ZYL_SUCCESS);
  EXPECT_EQ(length, 4096);
  EXPECT_TRUE(isPayload(buffer.data(), length));
  // The status pipe's handle belongs to the device that left: it fails, and fails at once.
  length = 512;
  start = Clock::now();
  EXPECT_EQ(zyl->ZylUSBGetStatusData(buffer.data(), length), ZYL_COMM_FAILURE);
  EXPECT_LT(msSince(start), 400);

  // A new instrument object finds the replugged device like the first time.
  zyl.reset();
  auto again = connect();
  EXPECT_EQ(version(*again), kVersion);
}

TEST_F(UsbStack, RenumerationComesBackUnderANewAddress) {
  auto zyl = connect();
  const std::string before = gadgetAddress();
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(zyl->RenumFX2(), ZYL_SUCCESS);
  ASSERT_TRUE(waitFor(
      [&] {
        std::string now = gadgetAddress();
        return !now.empty() && now != before && instrumentsPresent() == 1;
      },
      15s));
  // The handle from before is dead: the first command fails, the next one reopens.
  unsigned int result = 0;
  version(*zyl, &result);
  EXPECT_EQ(result, ZYL_COMM_FAILURE);
  EXPECT_EQ(version(*zyl), kVersion);
  EXPECT_EQ(zyl->GetCommunicationState(), CommConnected);
}

}  // namespace
