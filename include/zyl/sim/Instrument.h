// A simulated instrument: the controller board behind its FX2, as the host library sees it over
// USB.
//
// Quick start (a test or a host program without hardware):
//
//   auto inst = std::make_shared<zyl::sim::Instrument>();             // V3 firmware, 3 bulk IN
//   auto old = std::make_shared<zyl::sim::Instrument>(
//       zyl::sim::InstrumentOptions{.firmwareVersion = "VERSION110812"});
//   zyl::usb::useBackend(std::make_shared<zyl::sim::SimBackend>(inst));  // plug it in
//
// USB shape: a high-speed device, vendor 0x04B4, product kProductId, one interface with the bulk
// endpoints 0x02 OUT (commands), 0x86 IN (command replies), 0x88 IN (status stream) and 0x84 IN
// (scan data; absent with `bulkInEndpoints = 2`, and the status stream too with 1), max packet 512.
//
// Endpoint FIFOs belong to the instrument, as on the FX2: whichever handle reads an endpoint gets
// its data. A reply is one message; a read with less capacity takes the first bytes of it and the
// rest stays queued for the next read. FIFOs are bounded (the oldest messages are dropped).
// Commands written on 0x02 are executed synchronously on the writer's thread (see Firmware.h).
// Vendor request 4 empties every IN FIFO; vendor request 5 (re-enumerate) is an unplug followed by
// a replug, immediately or `renumerateDelayMs` later (the device stays absent meanwhile). resetPipe
// clears a stall and, as the controller resets the FIFO when its halt is cleared, drops what was
// queued on that endpoint.
//
// Faults: `inject` a Fault, triggered by a command code or by the n-th transfer on an endpoint:
//
//   inst->inject({.kind = FaultKind::NoReply, .command = "05"});            // next "-1B05" silent
//   inst->inject({.kind = FaultKind::LateReply, .command = "05", .delayMs = 300});
//   inst->inject({.kind = FaultKind::NotAck, .command = "31", .text = "ERR"});
//   inst->inject({.kind = FaultKind::ShortReply, .command = "05", .length = 4});
//   inst->inject({.kind = FaultKind::GarbageReply, .command = "30"});
//   inst->inject({.kind = FaultKind::FailedWrite, .nth = 3});                // 3rd transfer fails
//   inst->inject({.kind = FaultKind::Stall, .endpoint = kStatusIn});        // next status read
//   inst->inject({.kind = FaultKind::Unplug, .command = "30", .times = 1});
//
// Unplug has the hardware's semantics: the device disappears, every handle opened before fails
// for good (also after a replug), blocked reads wake and fail; `replug()` makes it appear again
// with empty FIFOs and only handles opened afterwards work. The firmware state survives (the
// controller board keeps its power; only the USB link went away).
//
// Real peers: `bridgeSerialPort(6)` puts a pseudo-terminal where the heater controllers were.
//
// Firmware state and time: `on(code, handler)` replaces a command handler of this instrument;
// `withFirmware([](FirmwareContext& f) { ... })` reads or changes the firmware's state from a test;
// `clock()` is the time physical processes follow (`timeScale`, or `manualClock` and
// `clock().advance(ms)` in tests). Replies, late replies and stream time-outs run in real time.
//
// State file: with `stateFile` the instrument is one that kept running between the programs that
// use it. The file holds the flash and the controller's state (pump switches, rotor speed,
// pressure, heaters and set-points, digital and analog outputs, analog input settings, I2C, DAC
// codes, serial line settings, the gauge's unit) with the wall-clock time it was written. A new
// instrument reads it and moves its physics on by the time since, at its own `timeScale` (not in
// `manualClock` mode); it writes the file at once (so one that cannot be written is found before
// any work), after every flash write, on `saveState()` and when it is destroyed. A file that is
// neither absent, empty nor a state file, or a state file that is damaged or of a newer format,
// is refused with StateFileError and left as it is. The format is described in sim/state_file.h.
// What belongs to the USB link is not kept: FIFOs, the status stream, queued scans, faults.
//
// Trace: every transfer and vendor request is recorded (`trace()`, `clearTrace()`), with the time,
// the handle, the endpoint (0 for vendor requests), the direction, the bytes moved and the outcome.
#pragma once

#include <zyl/UsbBackend.h>
#include <zyl/sim/Firmware.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zyl::sim {

inline constexpr uint16_t kVendorId = 0x04B4;
inline constexpr uint16_t kProductId = 0x1004;

// The time of the instrument's physical processes (pump-down, heat-up): real time times a scale,
// or, in manual mode, time that moves only by `advance`. Thread-safe.
class SimClock {
 public:
  explicit SimClock(double scale = 1.0);
  double nowMs() const;  // simulated milliseconds since creation
  double scale() const;
  void setScale(double scale);
  void setManual(bool manual);  // manual: stands still until advanced
  bool manual() const;
  void advance(double ms);  // moves simulated time forward, in either mode

 private:
  double nowLocked() const;
  mutable std::mutex mutex_;
  TimePoint realBase_;
  double simBase_ = 0;
  double scale_;
  bool manual_ = false;
};

// What an instrument is made as; fixed for its life.
struct InstrumentOptions {
  std::string firmwareVersion = "VERSION130904A-V3";  // answered to "-1B05"
  std::string model = "zentra Vexa";                  // the USB product text and "-1B07" answer
  std::string serialNumber = "SIM0001";               // the USB serial number
  int bulkInEndpoints = 3;  // 3; 2 without a scan pipe; 1 with the command pipe only
  // The state file (see above); empty: everything lives in memory for the instrument's life.
  std::string stateFile{};
  double timeScale = 1.0;    // simulated ms per real ms for physical processes
  bool manualClock = false;  // the clock moves only through clock().advance()
  uint64_t seed = 1;         // of the spectra, the noise and garbage replies
  uint16_t productId = kProductId;
  uint32_t renumerateDelayMs = 0;  // how long vendor request 5 keeps the device away
  size_t fifoMessages = 1024;      // per IN endpoint
  size_t fifoBytes = 32u << 20;    // per IN endpoint
  size_t traceEntries = 4096;      // the oldest entries are dropped beyond this
  size_t traceBytes = 1024;        // bytes kept per entry (TraceEntry::length has the full count)
};

enum class FaultKind {
  NoReply,       // command: swallowed, neither executed nor answered; IN read: nothing delivered
  LateReply,     // the reply (or the IN read's data) comes `delayMs` later
  NotAck,        // the reply is replaced by `text`
  ShortReply,    // the reply is cut to `length` bytes (default: half of it)
  GarbageReply,  // the reply is replaced by `length` random bytes (default: as many as it had)
  FailedWrite,   // the transfer fails at once; a command is not executed
  Stall,         // `endpoint` (default: the transfer's own) halts until resetPipe
  Unplug,        // the device disappears; the transfer fails
};

inline constexpr int kAnyEndpoint = -1;

// A fault to inject (see the examples above): what goes wrong, and when.
struct Fault {
  FaultKind kind = FaultKind::NoReply;
  // Trigger. With `command` set (a two-character code, or "*" for every command), the commands of
  // that code written on 0x02 are counted; otherwise the transfers on `endpoint` (kAnyEndpoint:
  // every bulk transfer and vendor request; 0: vendor requests only). Counting starts at the
  // injection; the fault fires on the `nth` counted event and the `times - 1` after it (times 0:
  // on every one from the nth on).
  std::string command{};
  int endpoint = kAnyEndpoint;
  uint32_t nth = 1;
  uint32_t times = 1;
  // Parameters.
  uint32_t delayMs = 0;
  std::optional<size_t> length{};
  std::string text = "NAK";
};

enum class Direction { Out, In, Control };

// One transfer or vendor request as the instrument saw it.
struct TraceEntry {
  double timeMs = 0;  // real milliseconds since the instrument was created
  uint64_t handle = 0;
  uint8_t endpoint = 0;  // 0 for vendor requests
  Direction direction = Direction::Out;
  std::vector<uint8_t> bytes;  // the bytes moved, at most InstrumentOptions::traceBytes of them
  size_t length = 0;           // how many bytes were moved
  bool ok = false;
  uint8_t request = 0;  // vendor requests: request code, value, index
  uint16_t value = 0, index = 0;

  std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

class InstrumentHandle;

// A state file the instrument must not use or overwrite, or cannot write; `what()` says which and
// why.
class StateFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every public member is thread-safe; handles onto it may be used from several threads at once.
class Instrument : public std::enable_shared_from_this<Instrument> {
 public:
  // Throws StateFileError for a state file it refuses or cannot write (see "State file").
  explicit Instrument(InstrumentOptions options = {});
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  const InstrumentOptions& options() const { return options_; }
  const zyl::usb::DeviceDescriptor& descriptor() const { return descriptor_; }
  SimClock& clock() { return clock_; }

  // A new handle onto the instrument, or null while it is unplugged. Used by SimBackend.
  std::unique_ptr<zyl::usb::UsbHandle> open();
  bool plugged();  // false while unplugged (until a pending re-enumeration's replug)
  void unplug();   // see "Unplug" above; also cancels a pending replug
  void replug();

  // Replaces (or adds) the handler of one command code on this instrument only.
  void on(std::string_view code, CommandHandler handler);
  // Runs `f(FirmwareContext&)` while holding the instrument, e.g. to read or set device state.
  template <class F>
  auto withFirmware(F&& f) {
    std::lock_guard lock(mutex_);
    FirmwareContext context(*this);
    return f(context);
  }

  // Wires a serial channel to a terminal instead of its simulated device, for a real peer (a
  // Modbus server, or a USB-serial adapter wired to real controllers): bytes the host writes on
  // the channel go out on the terminal, and bytes arriving from it wait on the channel as the
  // device's answer. The channel still takes only its device's line setting (5 on channel 6).
  // With no `terminal` a new pseudo-terminal is made and the channel holds its master side.
  // Returns the terminal the peer opens (the pseudo-terminal's slave side, or `terminal`), or ""
  // when it cannot be opened or the channel does not exist.
  std::string bridgeSerialPort(int channel, const std::string& terminal = {});

  // Faults stay armed until they have fired `times` times or are removed.
  int inject(Fault fault);  // returns an id for `removeFault`
  void removeFault(int id);
  void clearFaults();

  std::vector<TraceEntry> trace() const;  // a copy, oldest first
  void clearTrace();
  size_t queuedMessages(uint8_t endpoint) const;  // messages waiting in an IN FIFO (due or not)

  // Writes the state file now, the physics brought to the present first: "" when written (or
  // when there is no state file), else why not. A failed save is not tried again on destruction.
  std::string saveState();

 private:
  friend class FirmwareContext;
  friend class CommandContext;
  friend class InstrumentHandle;

  struct Message {
    std::vector<uint8_t> data;
    size_t offset = 0;
    TimePoint availableAt;
  };
  struct InFifo {
    uint8_t address = 0;
    std::deque<Message> messages;
    size_t bytes = 0;
    bool halted = false;
    StreamSource source;
  };
  struct ActiveFault {
    int id;
    Fault fault;
    uint32_t seen = 0;
    uint32_t fired = 0;
  };

  // All private members run with mutex_ held.
  InFifo* fifo(uint8_t endpoint);
  void pushLocked(uint8_t endpoint, std::vector<uint8_t> data, TimePoint availableAt);
  void clearFifos();
  TimePoint pollSource(InFifo& fifo, TimePoint now);
  bool pluggedLocked();
  void unplugLocked();
  void replugLocked();
  bool alive(const InstrumentHandle& handle);
  std::optional<Fault> matchFault(std::string_view command, int endpoint);
  TraceEntry* traceLocked(const InstrumentHandle& handle, uint8_t endpoint, Direction direction,
                          std::span<const uint8_t> bytes, bool ok);
  void applyReplyFault(const Fault& fault, std::vector<uint8_t>& data, TimePoint& availableAt);

  using Result = zyl::usb::TransferResult;
  Result writeCommand(InstrumentHandle& handle, const uint8_t* data, long& length);
  Result read(InstrumentHandle& handle, uint8_t endpoint, uint8_t* data, long& length,
              uint32_t timeoutMs);
  Result vendorRequest(InstrumentHandle& handle, uint8_t request, uint16_t value, uint16_t index);
  bool abortPipe(InstrumentHandle& handle, uint8_t endpoint);
  bool resetPipe(InstrumentHandle& handle, uint8_t endpoint);
  bool resetParentPort(InstrumentHandle& handle);

  const InstrumentOptions options_;
  zyl::usb::DeviceDescriptor descriptor_;
  SimClock clock_;
  const TimePoint created_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Firmware firmware_;
  FirmwareState state_;
  std::vector<InFifo> fifos_;
  bool outHalted_ = false;
  bool plugged_ = true;
  std::optional<TimePoint> replugAt_;
  uint64_t epoch_ = 0;  // bumped by every unplug: handles of an older epoch are dead
  uint64_t nextHandleId_ = 1;
  std::vector<ActiveFault> faults_;
  int nextFaultId_ = 1;
  std::mt19937_64 faultRng_;
  bool saveFailed_ = false;
  std::deque<TraceEntry> trace_;
  // Replies of the command being executed, so that a fault can act on them before they queue.
  std::vector<std::vector<uint8_t>>* pendingReplies_ = nullptr;
  SteadyClock::duration pendingDelay_{};  // how long the controller works on that command
};

}  // namespace zyl::sim
