// The libusb back end without a USB bus: recognition rules, the ID list and the behaviour with no
// instrument present (which is what this machine and most CI runners have).
#include "link/usb/libusb_backend.h"

#include <libusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace zyl::usb {
namespace {

TEST(UsbIdList, AcceptsEveryWrittenFormOfAnEntry) {
  UsbIdList list = parseUsbIds(" 04b4:1004 ,1234:5678,,0x04B4 : 0XABcd,fffe:*, 1 ,0:0,");
  EXPECT_TRUE(list.rejected.empty());
  std::vector<UsbId> expected{{0x04B4, 0x1004, false}, {0x1234, 0x5678, false},
                              {0x04B4, 0xABCD, false}, {0xFFFE, 0, true},
                              {0x0001, 0, true},       {0x0000, 0x0000, false}};
  EXPECT_EQ(list.ids, expected);

  EXPECT_TRUE(parseUsbIds("").ids.empty());
  EXPECT_TRUE(parseUsbIds(" , ,").rejected.empty());
}

TEST(UsbIdList, RejectsBadEntriesOneByOneAndKeepsTheGoodOnes) {
  UsbIdList list = parseUsbIds(
      "zz:1,04b4:1004,12345:1,04b4:,:1004,04b4:10 04,04b4:1004:1,+4b4,-1,0x,04b4:0x,1234:5678");
  std::vector<UsbId> expected{{0x04B4, 0x1004, false}, {0x1234, 0x5678, false}};
  EXPECT_EQ(list.ids, expected);
  std::vector<std::string> rejected{"zz:1",        "12345:1", "04b4:", ":1004", "04b4:10 04",
                                    "04b4:1004:1", "+4b4",    "-1",    "0x",    "04b4:0x"};
  EXPECT_EQ(list.rejected, rejected);

  // Nothing usable: the list is empty, so nothing is recognised, rather than the default list.
  UsbIdList none = parseUsbIds("cypress");
  EXPECT_TRUE(none.ids.empty());
  EXPECT_EQ(none.rejected, std::vector<std::string>{"cypress"});
}

TEST(UsbIdList, MatchesVendorAndProduct) {
  std::vector<UsbId> defaults = defaultUsbIds();
  EXPECT_TRUE(matchesUsbId(defaults, 0x04B4, 0x1004));
  EXPECT_TRUE(matchesUsbId(defaults, 0x04B4, 0x8613));
  EXPECT_FALSE(matchesUsbId(defaults, 0x04B5, 0x1004));
  EXPECT_FALSE(matchesUsbId(defaults, 0x1004, 0x04B4));

  std::vector<UsbId> ids = parseUsbIds("04b4:1004,1234").ids;
  EXPECT_TRUE(matchesUsbId(ids, 0x04B4, 0x1004));
  EXPECT_FALSE(matchesUsbId(ids, 0x04B4, 0x1005));
  EXPECT_FALSE(matchesUsbId(ids, 0x04B4, 0x0000));  // an exact entry's product 0 is not "any"
  EXPECT_TRUE(matchesUsbId(ids, 0x1234, 0x0000));
  EXPECT_TRUE(matchesUsbId(ids, 0x1234, 0xFFFF));
  EXPECT_FALSE(matchesUsbId({}, 0x04B4, 0x1004));
}

TEST(InstrumentLayout, NeedsABulkOutAndABulkInWithPacketSpace) {
  const EndpointDescriptor out{0x02, 0x02, 512, 0};
  const EndpointDescriptor in6{0x86, 0x02, 512, 0};
  const EndpointDescriptor in8{0x88, 0x02, 512, 0};
  EXPECT_TRUE(isInstrumentLayout({out, in6, in8}));
  EXPECT_TRUE(isInstrumentLayout({in8, in6, out}));
  EXPECT_TRUE(isInstrumentLayout({out, in6, in8, {0x84, 0x02, 512, 0}}));
  EXPECT_TRUE(isInstrumentLayout({out, {0x04, 0x02, 64, 0}, in6, in8}));

  // Without a status or scan endpoint it is still an instrument; only that pipe is missing.
  EXPECT_TRUE(isInstrumentLayout({out, in6}));

  EXPECT_FALSE(isInstrumentLayout({}));
  EXPECT_FALSE(isInstrumentLayout({out}));
  EXPECT_FALSE(isInstrumentLayout({in6, in8, {0x88, 0x02, 512, 0}}));  // no OUT
  // Endpoints that are not bulk do not count, whatever else their attributes carry.
  EXPECT_FALSE(isInstrumentLayout({out, {0x81, 0x03, 64, 1}}));
  EXPECT_FALSE(isInstrumentLayout({out, {0x81, 0x05, 512, 1}}));
  EXPECT_FALSE(isInstrumentLayout({{0x01, 0x03, 64, 1}, in6, in8}));
  // Zero-bandwidth endpoints, as in an unprogrammed FX2's default setting, move nothing.
  EXPECT_FALSE(isInstrumentLayout({out, {0x88, 0x02, 0, 0}}));
  EXPECT_FALSE(isInstrumentLayout({{0x02, 0x02, 0, 0}, in6, in8}));
}

// What the status thread and the debug log act on: a cancel we made at the deadline is a
// time-out, one made by abortPipe a cancellation.
TEST(LibusbBackend, MapsTransferEndingsAndErrorsToResults) {
  using R = TransferResult;
  const struct {
    int status;
    bool deadlinePassed;
    R result;
  } endings[] = {
      {LIBUSB_TRANSFER_COMPLETED, false, R::ok},
      {LIBUSB_TRANSFER_TIMED_OUT, false, R::timeout},
      {LIBUSB_TRANSFER_CANCELLED, true, R::timeout},
      {LIBUSB_TRANSFER_CANCELLED, false, R::cancelled},
      {LIBUSB_TRANSFER_STALL, false, R::stall},
      {LIBUSB_TRANSFER_NO_DEVICE, false, R::noDevice},
      {LIBUSB_TRANSFER_OVERFLOW, false, R::other},
      {LIBUSB_TRANSFER_ERROR, false, R::other},
  };
  for (const auto& e : endings)
    EXPECT_EQ(resultOfTransfer(e.status, e.deadlinePassed), e.result) << e.status;
  const std::pair<int, R> errors[] = {
      {LIBUSB_SUCCESS, R::ok},       {LIBUSB_ERROR_TIMEOUT, R::timeout},
      {LIBUSB_ERROR_PIPE, R::stall}, {LIBUSB_ERROR_NO_DEVICE, R::noDevice},
      {LIBUSB_ERROR_BUSY, R::other}, {LIBUSB_ERROR_INTERRUPTED, R::cancelled},
  };
  for (const auto& [error, result] : errors) EXPECT_EQ(resultOfError(error), result) << error;
  EXPECT_STREQ(makeLibusbBackend()->name(), "libusb");
}

TEST(InstrumentLayout, DecodesMaxPacketSize) {
  EXPECT_EQ(decodeMaxPacketSize(0x0040), 64);
  EXPECT_EQ(decodeMaxPacketSize(0x0200), 512);
  EXPECT_EQ(decodeMaxPacketSize(0x07FF), 2047);
  EXPECT_EQ(decodeMaxPacketSize(0x0A00), 1024);  // 512, two transactions per microframe
  EXPECT_EQ(decodeMaxPacketSize(0x1400), 3072);  // 1024, three
  EXPECT_EQ(decodeMaxPacketSize(0xE200), 512);   // bits 13-15 are reserved
}

// Collects back-end diagnostics of the current thread.
struct Collected {
  std::vector<std::string> lines;
  static void sink(void* self, const char* line) {
    static_cast<Collected*>(self)->lines.emplace_back(line);
  }
  int containing(const std::string& what) const {
    int n = 0;
    for (const std::string& line : lines) n += line.find(what) != std::string::npos;
    return n;
  }
};

TEST(LibusbBackend, WithoutAnInstrumentCountsNothingOpensNothingAndStaysQuiet) {
  std::shared_ptr<UsbBackend> backend = makeLibusbBackend();
  ASSERT_TRUE(backend);
  Collected log;
  DiagnosticScope scope(&Collected::sink, &log);

  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(backend->deviceCount(), 0);
    ASSERT_EQ(backend->open(0), nullptr);
  }
  EXPECT_EQ(backend->open(-1), nullptr);
  EXPECT_EQ(backend->open(INT_MAX), nullptr);

  // A libusb that cannot start (no usbfs here) is said once, not on every call.
  EXPECT_LE(log.containing("libusb_init failed"), 1);
  EXPECT_EQ(static_cast<int>(log.lines.size()), log.containing("libusb_init failed"));
}

TEST(LibusbBackend, FirstUseFromManyThreadsAtOnceInitialisesOnce) {
  std::shared_ptr<UsbBackend> backend = makeLibusbBackend();
  ASSERT_TRUE(backend);
  std::atomic<int> initFailures{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Collected log;
      DiagnosticScope scope(&Collected::sink, &log);
      for (int i = 0; i < 50; ++i) {
        if ((t + i) % 2 ? backend->deviceCount() != 0 : backend->open(i % 3) != nullptr) ++wrong;
      }
      initFailures += log.containing("libusb_init failed");
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(initFailures.load(), 1);
}

TEST(LibusbBackend, ReportsEachUnreadableIdEntryOnceAtFirstUse) {
  ASSERT_EQ(setenv("ZYL_USB_IDS", "04b4:zz, 1234:5678 ,5:6:7", 1), 0);
  std::shared_ptr<UsbBackend> backend = makeLibusbBackend();
  Collected log;
  {
    DiagnosticScope scope(&Collected::sink, &log);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(backend->deviceCount(), 0);
  }
  unsetenv("ZYL_USB_IDS");
  EXPECT_EQ(log.containing("\"04b4:zz\""), 1);
  EXPECT_EQ(log.containing("\"5:6:7\""), 1);
  EXPECT_EQ(log.containing("1234:5678"), 0);
}

}  // namespace
}  // namespace zyl::usb
