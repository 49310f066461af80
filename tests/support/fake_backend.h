// A scripted USB back end for exact-wire tests: it records every byte the library writes and
// answers from queues the test fills. Reads of an empty queue fail at once with a time-out, so
// tests of silent instruments take no time. Scripted failures (`fail`) say why they failed and
// report it as a back end would, through zyl::usb::diagnostic.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zyl/UsbBackend.h"

namespace zyl::test {

inline constexpr uint8_t kCommandOut = 0x02;
inline constexpr uint8_t kCommandIn = 0x86;
inline constexpr uint8_t kStatusIn = 0x88;
inline constexpr uint8_t kScanIn = 0x84;

struct FakeTransfer {
  uint8_t endpoint;   // 0 for vendor requests
  std::string bytes;  // written bytes (OUT) or delivered bytes (IN); vendor: the request code
  uint32_t timeoutMs;
  bool ok;
};
using zyl::usb::TransferResult;

class FakeBackend : public zyl::usb::UsbBackend {
 public:
  explicit FakeBackend(int bulkInEndpoints = 3);

  // What the library sees.
  const char* name() const override { return "fake"; }
  int deviceCount() override;
  std::unique_ptr<zyl::usb::UsbHandle> open(int index) override;

  // Script. `queue` adds one reply message to an IN endpoint; a read takes at most its capacity
  // of the front message and leaves the rest for the next read.
  void queue(uint8_t endpoint, std::string_view bytes);
  // The next `times` transfers on `endpoint` (0: vendor requests) fail with `why`.
  void fail(uint8_t endpoint, TransferResult why, int times = 1);
  // Answers written commands: the reply it returns (if any) is queued on the command IN pipe.
  // By default "-1B05" is answered with `version` and everything else with "ACK".
  std::function<std::optional<std::string>(std::string_view command)> responder;
  std::string version = "VERSION130904A-V3";

  zyl::usb::DeviceDescriptor& deviceDescriptor() { return descriptor_; }

  int devices = 1;                     // what deviceCount reports
  int failWrites = 0;                  // the next this many OUT transfers fail
  std::atomic<bool> unplugged{false};  // every operation of every handle fails
  // Reads of an empty queue wait, in real time up to their time-out, for bytes or an abort of
  // their endpoint (cancelled), as a real pipe does; set it before the reads start.
  bool blockingReads = false;

  // Record.
  std::vector<FakeTransfer> transfers(int endpoint = -1) const;  // -1: on every endpoint
  // The commands written (OUT transfers that succeeded) that start with `prefix`, in order.
  std::vector<std::string> writes(std::string_view prefix = {}) const;
  int opens() const;
  int aborts(uint8_t endpoint) const;
  void clearRecord();

 private:
  friend class FakeHandle;
  TransferResult transfer(uint8_t endpoint, uint8_t* data, long& length, uint32_t timeoutMs);
  TransferResult vendor(uint8_t request, uint32_t timeoutMs);
  void abort(uint8_t endpoint);
  // A scripted failure of `endpoint` that is due now, reported; ok when there is none.
  TransferResult scriptedFailure(uint8_t endpoint);

  zyl::usb::DeviceDescriptor descriptor_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint8_t, std::deque<std::string>> queues_;
  std::vector<FakeTransfer> transfers_;
  std::map<uint8_t, int> aborts_;
  std::map<uint8_t, std::deque<TransferResult>> failures_;
  int opens_ = 0;
};

}  // namespace zyl::test
