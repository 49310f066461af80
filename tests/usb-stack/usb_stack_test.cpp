// The library over the libusb back end and a real Linux USB stack: the instrument is the zyl_gadget
// program on the device side of dummy_hcd, in the virtual machine that tests/usb-stack/run boots.
// Outside it every test is skipped. Only what the simulator cannot show: the kernel's descriptors,
// short and zero-length packets, URBs cancelled, a shared interface, a real unplug and replug.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "link/usb/CyUSB.h"
#include "tests/usb-stack/gadget/test_commands.h"
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
  for (auto end = Clock::now() + limit; !pred(); std::this_thread::sleep_for(20ms))
    if (Clock::now() >= end) return false;
  return true;
}

int instrumentsPresent() {
  return zyl::usb::currentBackend()->deviceCount();
}

bool writeUdc(const std::string& text) {
  return static_cast<bool>(std::ofstream(env("ZYL_GADGET_UDC_FILE")) << text << "\n" << std::flush);
}

// The USB address of the gadget as the host's kernel sees it; a new one after each enumeration.
std::string gadgetAddress() {
  std::string devnum;
  std::ifstream(env("ZYL_GADGET_SYSFS") + "/devnum") >> devnum;
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

// Quiets the command pipe below the library: a marker command on a handle of our own, read until
// its reply comes (a reply an earlier test never read is still queued in the gadget stack).
bool resynchronise() {
  std::unique_ptr<zyl::usb::UsbHandle> handle = zyl::usb::currentBackend()->open(0);
  if (!handle) return false;
  uint8_t out = 0, in = 0;
  for (const auto& ep : handle->descriptor().endpoints) {
    uint8_t& first = ep.address & 0x80 ? in : out;  // the first bulk endpoint of each direction
    if (!first && (ep.attributes & 3) == 2) first = ep.address;
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

// A read with a long time-out, blocked on another thread until something ends it.
struct BlockedRead {
  explicit BlockedRead(CCyBulkEndPoint* ep)
      : thread([this, ep] {
          unsigned char buffer[512];
          long length = sizeof buffer;
          ep->timeoutMs = 10000;
          const auto start = Clock::now();
          ok = ep->transfer(buffer, length);
          elapsed = msSince(start);
        }) {
    std::this_thread::sleep_for(300ms);
  }
  std::atomic<long> elapsed{-1};
  std::atomic<bool> ok{true};
  std::thread thread;
};

class UsbStack : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("ZYL_GADGET_UDC_FILE").empty())
      GTEST_SKIP() << "needs the gadget's virtual machine (tests/usb-stack/run)";
    ASSERT_TRUE(env("ZYL_BACKEND").empty()) << "these tests are about the libusb back end";
    // Whatever an earlier test did, the instrument is on the bus and its command pipe quiet.
    ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 1; }, 15s));
    ASSERT_TRUE(resynchronise());
  }

  // Connected and initialised, on a quiet pipe. Under software emulation a reply takes about as
  // long as the connection flush's 5 ms read, so the flush can leave a reply behind that the
  // initialisation then reads in place of its own. The library retries nothing: as a host would,
  // the harness brings the pipe back in step and initialises again.
  std::unique_ptr<ZylInterface> connect() {
    auto zyl = std::make_unique<ZylInterface>("/tmp");
    if (zyl->GetCommunicationState() != CommInitialized) {
      EXPECT_TRUE(resynchronise());
      zyl->InitializeSettings();
    }
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

  // What the kernel enumerated: strings from the gadget's configfs setup, addresses from the UDC.
  ASSERT_NE(zyl->commandDevice, nullptr);
  CCyUSBDevice& device = *zyl->commandDevice;
  EXPECT_EQ(std::tuple(device.vendorId, device.manufacturer, device.highSpeed),
            std::tuple(0x04B4, env("ZYL_GADGET_MANUFACTURER"), true));
  ASSERT_EQ(device.endpointCount(), 5);
  for (int i = 1; i < 5; ++i)
    EXPECT_EQ(std::tuple(device.endpoint(i)->attributes, device.endpoint(i)->maxPktSize,
                         device.endpoint(i)->in),
              std::tuple(2, 512, i > 1))
        << i;
  EXPECT_TRUE(device.firstBulkOut == device.endpoint(1) &&
              device.firstBulkIn == device.endpoint(2));

  // The status and scan pipes open their own handles onto the one claimed interface.
  EXPECT_EQ(zyl->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(zyl->ensureScanPipeAvailable(), ZYL_SUCCESS);
  EXPECT_TRUE(zyl->statusEndpoint->address == device.endpoint(3)->address &&
              zyl->scanEndpoint->address == device.endpoint(4)->address);
  EXPECT_EQ(version(*zyl), kVersion);
}

TEST_F(UsbStack, RepliesAndScanDataArriveWholeAndExact) {
  auto zyl = connect();
  // Around the 512-byte packet: zero-length and short packets both end the read at the reply's end.
  std::vector<unsigned char> reply(70000);
  for (long size : {1L, 80L, 511L, 512L, 513L, 2048L, 4096L, 65552L}) {
    char command[32];
    std::snprintf(command, sizeof command, "-1BZR%08lX", static_cast<unsigned long>(size));
    long length = size + 100;
    ASSERT_EQ(zyl->ZylUSBExecuteCommand(command, reply.data(), length, false, 2000, 5000),
              ZYL_SUCCESS)
        << size;
    EXPECT_TRUE(length == size && isPayload(reply.data(), length)) << size;
    EXPECT_EQ(reply[static_cast<size_t>(length)], 0) << "terminator after " << size;
  }

  // A reply that fills the capacity exactly (not a whole number of packets: a zero-length packet
  // would be a transfer of its own).
  long length = 1000;
  ASSERT_EQ(zyl->ZylUSBExecuteCommand("-1BZR000003E8", reply.data(), length, true, 2000, 2000),
            ZYL_SUCCESS);
  EXPECT_TRUE(length == 1000 && isPayload(reply.data(), length));

  // A read of whole packets takes that much of a longer reply; the next read gets the rest.
  long sent = 13;
  unsigned char command[] = "-1BZR000004B0";  // 1200 bytes
  ASSERT_EQ(zyl->ZylUSBSendData(command, sent, 2000), ZYL_SUCCESS);
  long first = 1024, rest = 1024;
  ASSERT_EQ(zyl->ZylUSBGetData(reply.data(), first, 2000), ZYL_SUCCESS);
  ASSERT_EQ(zyl->ZylUSBGetData(reply.data() + 1024, rest, 2000), ZYL_SUCCESS);
  EXPECT_EQ(std::tuple(first, rest), std::tuple(1024L, 1200L - 1024));
  EXPECT_TRUE(isPayload(reply.data(), 1200));
  EXPECT_EQ(version(*zyl), kVersion);

  // The scan pipe carries large transfers whole.
  ASSERT_EQ(zyl->clearScanPipe(), ZYL_SUCCESS);
  std::vector<unsigned char> buffer(ZYL_SCAN_REPLY_BYTES);
  for (long size : {1000003L, 65536L, 3L}) {
    char command[32];
    std::snprintf(command, sizeof command, "-1BZC%08lX", static_cast<unsigned long>(size));
    ASSERT_EQ(acknowledged(*zyl, command), ZYL_SUCCESS);
    long length = static_cast<long>(buffer.size());
    ASSERT_EQ(zyl->ZylUSBGetScanData(buffer.data(), length, 5000), ZYL_SUCCESS) << size;
    EXPECT_TRUE(length == size && isPayload(buffer.data(), length)) << size;
  }
}

// The flush of a fresh link reads with a 5 ms time-out: data already waiting must arrive within it.
TEST_F(UsbStack, ShortTimeOutTakesWhatTheInstrumentAlreadyHolds) {
  auto zyl = connect();
  int missed = 0;
  for (int i = 0; i < 50; ++i) {
    char command[32];
    long length = std::snprintf(command, sizeof command, "-1BZXready%d", i);
    ASSERT_EQ(zyl->ZylUSBSendData(reinterpret_cast<unsigned char*>(command), length, 2000),
              ZYL_SUCCESS);
    std::this_thread::sleep_for(50ms);  // the reply is waiting on the device side
    unsigned char reply[64];
    length = sizeof reply;
    if (zyl->ZylUSBGetData(reply, length, 5) != ZYL_SUCCESS && ++missed)
      zyl->ZylUSBGetData(reply, length = sizeof reply, 2000);  // so the next round pairs
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
    for (long length; frames.size() < kFrames && failures < 3;)
      if (length = sizeof buffer; zyl->ZylUSBGetStatusData(buffer, length) == ZYL_SUCCESS)
        frames.push_back(text(buffer, length));
      else
        ++failures;
  });
  int commands = 0, commandFailures = 0;
  for (auto start = Clock::now(); msSince(start) < 1200; ++commands)
    commandFailures += version(*zyl) != kVersion;
  reader.join();

  EXPECT_EQ(std::tuple(commandFailures, failures), std::tuple(0, 0)) << "of " << commands;
  EXPECT_GE(commands, 5);
  ASSERT_EQ(frames.size(), kFrames);
  for (uint32_t k = 0; k < kFrames; ++k) EXPECT_EQ(frames[k], zyl::gadget::statusFrame(k)) << k;
}

TEST_F(UsbStack, IdleEndpointTimesOutAndKeepsLateData) {
  auto zyl = connect();
  unsigned char reply[64];

  long length = sizeof reply;
  auto start = Clock::now();
  EXPECT_EQ(zyl->ZylUSBGetData(reply, length, 200), ZYL_COMM_FAILURE);
  const long elapsed = msSince(start);
  EXPECT_TRUE(elapsed >= 190 && elapsed < 1500) << elapsed;
  EXPECT_EQ(std::tuple(length, zyl->GetCommunicationState()), std::tuple(0L, CommNoResponse));

  // A reply that comes after the time-out stays in the pipe for the next read: the cancelled
  // transfer must not have swallowed it.
  unsigned char late[] = "-1BZL012Clate";  // 300 ms
  long sent = 13;
  ASSERT_EQ(zyl->ZylUSBSendData(late, sent, 2000), ZYL_SUCCESS);
  EXPECT_EQ(zyl->ZylUSBGetData(reply, length = sizeof reply, 100), ZYL_COMM_FAILURE);
  ASSERT_EQ(zyl->ZylUSBGetData(reply, length = sizeof reply, 3000), ZYL_SUCCESS);
  EXPECT_EQ(std::tuple(text(reply, length), zyl->GetCommunicationState()),
            std::tuple("late", CommConnected));
}

// A blocked read wakes when its pipe is aborted from another thread, or when the device goes.
TEST_F(UsbStack, AbortUnplugReplugAndRenumeration) {
  auto zyl = connect();
  ASSERT_EQ(zyl->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  ASSERT_EQ(zyl->ensureScanPipeAvailable(), ZYL_SUCCESS);
  CCyBulkEndPoint* status = zyl->statusEndpoint;
  CCyBulkEndPoint* commandIn = zyl->commandDevice->firstBulkIn;

  for (CCyBulkEndPoint* endpoint : {status, commandIn}) {
    BlockedRead read(endpoint);
    EXPECT_EQ(read.elapsed.load(), -1) << "the read did not block";
    EXPECT_TRUE(endpoint->abortPipe());
    read.thread.join();
    EXPECT_TRUE(!read.ok && read.elapsed < 2000)
        << "endpoint 0x" << std::hex << int{endpoint->address};
  }

  // Both endpoints still work.
  ASSERT_EQ(acknowledged(*zyl, "-1BZS000A0002"), ZYL_SUCCESS);
  unsigned char frame[512];
  long frameLength = sizeof frame;
  status->timeoutMs = 3000;
  EXPECT_TRUE(status->transfer(frame, frameLength) &&
              text(frame, frameLength) == zyl::gadget::statusFrame(0));
  EXPECT_EQ(version(*zyl), kVersion);

  // A read blocked when the device goes must fail at once, not at its time-out.
  BlockedRead read(zyl->statusEndpoint);
  ASSERT_TRUE(writeUdc(""));
  read.thread.join();
  EXPECT_TRUE(read.elapsed >= 0 && read.elapsed < 5000) << read.elapsed;

  unsigned int result = 0;
  EXPECT_EQ(std::tuple(version(*zyl, &result), result), std::tuple("", ZYL_COMM_FAILURE));
  EXPECT_EQ(zyl->GetCommunicationState(), CommNotConnected);
  ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 0; }, 10s));
  auto start = Clock::now();
  EXPECT_EQ(std::tuple(version(*zyl, &result), result), std::tuple("", ZYL_COMM_FAILURE));
  EXPECT_LT(msSince(start), 2000) << "with nothing on the bus there is nothing to wait for";

  ASSERT_TRUE(writeUdc(env("ZYL_GADGET_UDC")));
  ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 1; }, 15s));
  EXPECT_EQ(version(*zyl), kVersion);
  EXPECT_EQ(zyl->GetCommunicationState(), CommConnected);
  ASSERT_TRUE(resynchronise());  // the reconnection's flush may have left a reply behind

  // Reopening the command pipe reopened the scan pipe onto the new device.
  ASSERT_EQ(acknowledged(*zyl, "-1BZC00001000"), ZYL_SUCCESS);
  std::vector<unsigned char> buffer(8192);
  long length = static_cast<long>(buffer.size());
  ASSERT_EQ(zyl->ZylUSBGetScanData(buffer.data(), length, 3000), ZYL_SUCCESS);
  EXPECT_TRUE(length == 4096 && isPayload(buffer.data(), length));
  // The status pipe's handle belongs to the device that left: it fails, and fails at once.
  length = 512;
  start = Clock::now();
  EXPECT_EQ(zyl->ZylUSBGetStatusData(buffer.data(), length), ZYL_COMM_FAILURE);
  EXPECT_LT(msSince(start), 400);

  // A new instrument object finds the replugged device like the first time.
  zyl.reset();
  auto again = connect();
  EXPECT_EQ(version(*again), kVersion);

  // Re-enumeration comes back under a new address; the handle from before is dead: the first
  // command fails, the next one reopens.
  const std::string before = gadgetAddress();
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(again->RenumFX2(), ZYL_SUCCESS);
  // While it is away the address reads empty, and no instrument is present.
  ASSERT_TRUE(waitFor([&] { return gadgetAddress() != before && instrumentsPresent() == 1; }, 15s));
  version(*again, &result);
  EXPECT_EQ(result, ZYL_COMM_FAILURE);
  EXPECT_EQ(version(*again), kVersion);
  EXPECT_EQ(again->GetCommunicationState(), CommConnected);
}

// An instrument with the command pipe only (the run's second phase, zyl_gadget --bulk-in 1) is
// recognised and answers; the status and scan pipes it lacks answer 2, and commands still work.
TEST(UsbStackCommandPipeOnly, RecognisedWithItsMissingPipesAnswering2) {
  if (env("ZYL_GADGET_BULK_IN") != "1") GTEST_SKIP() << "needs zyl_gadget --bulk-in 1";
  ASSERT_TRUE(waitFor([] { return instrumentsPresent() == 1; }, 15s));
  ZylInterface zyl("/tmp");
  EXPECT_GE(zyl.GetCommunicationState(), CommConnected);
  ASSERT_NE(zyl.commandDevice, nullptr);
  EXPECT_EQ(zyl.commandDevice->endpointCount(), 3);
  unsigned char buffer[512];
  long status = sizeof buffer, scan = sizeof buffer;
  EXPECT_EQ(std::tuple(zyl.ensureStatusPipeAvailable(), zyl.clearStatusPipe(),
                       zyl.ZylUSBGetStatusData(buffer, status), zyl.ensureScanPipeAvailable(),
                       zyl.clearScanPipe(), zyl.ZylUSBGetScanData(buffer, scan, 100)),
            std::tuple(2u, 2u, 2u, 2u, 2u, 2u));
  ASSERT_TRUE(resynchronise());
  long length = sizeof buffer;
  ASSERT_EQ(zyl.ZylUSBExecuteCommand("-1B05", buffer, length, false, 2000, 2000), ZYL_SUCCESS);
  EXPECT_EQ(text(buffer, length), kVersion);
}

}  // namespace
