// The libusb back end without a USB bus (as on most CI runners): recognition rules and ID list.
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

TEST(UsbIdList, ReadsEveryWrittenFormAndRejectsBadEntriesOneByOne) {
  UsbIdList list = parseUsbIds(
      " 04b4:1004 ,,0x04B4 : 0XABcd,fffe:*, 1 ,0:0,zz:1,12345:1,04b4:,:1004,04b4:10 04,"
      "04b4:1004:1,+4b4,-1,0x,04b4:0x,");
  const std::vector<UsbId> ids{{0x04B4, 0x1004, false},
                               {0x04B4, 0xABCD, false},
                               {0xFFFE, 0, true},
                               {0x0001, 0, true},
                               {0x0000, 0x0000, false}};
  EXPECT_EQ(list.ids, ids);
  const std::vector<std::string> rejected{"zz:1",        "12345:1", "04b4:", ":1004", "04b4:10 04",
                                          "04b4:1004:1", "+4b4",    "-1",    "0x",    "04b4:0x"};
  EXPECT_EQ(list.rejected, rejected);
  // Nothing usable: the list is empty, so nothing is recognised, rather than the default list.
  EXPECT_TRUE(parseUsbIds("cypress").ids.empty());

  EXPECT_FALSE(matchesUsbId(defaultUsbIds(), 0x1004, 0x04B4));
  EXPECT_FALSE(matchesUsbId(ids, 0x04B4, 0x1005));
  EXPECT_FALSE(matchesUsbId(ids, 0x04B4, 0x0000));  // an exact entry's product 0 is not "any"
  EXPECT_TRUE(matchesUsbId(ids, 0xFFFE, 0xFFFF));
}

TEST(InstrumentLayout, NeedsABulkOutAndABulkInWithPacketSpace) {
  const EndpointDescriptor out{0x02, 0x02, 512, 0}, in6{0x86, 0x02, 512, 0},
      in8{0x88, 0x02, 512, 0};
  const std::pair<std::vector<EndpointDescriptor>, bool> cases[] = {
      {{in8, in6, out}, true},
      {{out, in6}, true},  // without a status or scan endpoint only that pipe is missing
      {{out}, false},
      {{in6, in8}, false},
      {{out, {0x81, 0x03, 64, 1}}, false},  // not bulk
      {{{0x01, 0x03, 64, 1}, in6, in8}, false},
      {{out, {0x88, 0x02, 0, 0}}, false},  // zero bandwidth, as an unprogrammed FX2 has
      {{{0x02, 0x02, 0, 0}, in6, in8}, false},
  };
  for (const auto& [layout, expected] : cases) EXPECT_EQ(isInstrumentLayout(layout), expected);

  EXPECT_EQ(decodeMaxPacketSize(0x0A00), 1024);  // 512, two transactions per microframe
  EXPECT_EQ(decodeMaxPacketSize(0x1400), 3072);  // 1024, three
  EXPECT_EQ(decodeMaxPacketSize(0xE200), 512);   // bits 13-15 are reserved
}

// A cancel we made at the deadline is a time-out, one made by abortPipe a cancellation.
TEST(LibusbBackend, ACancelIsATimeOutOnlyPastTheDeadline) {
  EXPECT_EQ(resultOfTransfer(LIBUSB_TRANSFER_CANCELLED, true), TransferResult::timeout);
  EXPECT_EQ(resultOfTransfer(LIBUSB_TRANSFER_CANCELLED, false), TransferResult::cancelled);
  EXPECT_EQ(resultOfError(LIBUSB_ERROR_INTERRUPTED), TransferResult::cancelled);
}

// Back-end diagnostics of the current thread, counted by what they contain.
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

// First use from many threads at once initialises once and reads the ID list once; a libusb that
// cannot start (no usbfs here) is said once, not on every call, and nothing else is said.
TEST(LibusbBackend, WithoutAnInstrumentCountsNothingOpensNothingAndStaysQuiet) {
  ASSERT_EQ(setenv("ZYL_USB_IDS", "04b4:zz, 1234:5678 ,5:6:7", 1), 0);
  std::shared_ptr<UsbBackend> backend = makeLibusbBackend();
  Collected logs[4], all;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      DiagnosticScope scope(&Collected::sink, &logs[t]);
      for (int i = 0; i < 50; ++i)
        wrong += (t + i) % 2 ? backend->deviceCount() != 0 : backend->open(i % 3) != nullptr;
      wrong += backend->open(-1) != nullptr || backend->open(INT_MAX) != nullptr;
    });
  }
  for (std::thread& thread : threads) thread.join();
  unsetenv("ZYL_USB_IDS");
  for (const Collected& log : logs)
    all.lines.insert(all.lines.end(), log.lines.begin(), log.lines.end());
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(all.containing("\"04b4:zz\""), 1);
  EXPECT_EQ(all.containing("\"5:6:7\""), 1);
  EXPECT_LE(all.containing("libusb_init failed"), 1);
  EXPECT_EQ(all.lines.size(), 2u + all.containing("libusb_init failed"));
}

}  // namespace
}  // namespace zyl::usb
