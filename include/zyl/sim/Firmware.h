// The firmware side of the simulated instrument: the command table and what a command handler or a
// stream source may do.
//
// A command is one bulk OUT transfer on endpoint 0x02: "-1B", a two-character code, then the
// command's fields (and for some commands raw bytes). The firmware looks the code up in its table
// and runs the one handler registered for it, on the thread that wrote the command, while it holds
// the instrument. A handler answers with `reply` (one bulk IN message on 0x86 per call), `ack`, or
// `refuse`; a code with no handler is refused ("NAK"), as a real controller refuses what it does
// not know. Handlers that stream (status frames on 0x88, scan data on 0x84) install a StreamSource,
// which readers of that endpoint consult: it queues what is due by now, so no simulator thread
// runs.
//
// Adding a command family: write `void installXxxCommands(Firmware&)` in sim/ that registers its
// handlers with `on`, keep its state in `state().part<XxxState>()`, and add it to the list in
// `Firmware::standard()`. Tests may replace a handler of one instrument with Instrument::on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>

namespace zyl::sim {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

class Instrument;
class SimClock;
struct InstrumentOptions;

// Endpoint addresses of the instrument's interface, in descriptor order.
inline constexpr uint8_t kCommandOut = 0x02;
inline constexpr uint8_t kCommandIn = 0x86;
inline constexpr uint8_t kStatusIn = 0x88;
inline constexpr uint8_t kScanIn = 0x84;  // absent on an instrument with two bulk IN endpoints

// The firmware's own state: one per instrument, shared by every handle onto it.
struct FirmwareState {
  std::string version;  // answered to "-1B05"
  std::string model;    // answered to "-1B07" by firmware that knows its model
  std::mt19937_64 rng;  // seeded from the instrument's options: spectra and noise are reproducible

  // True for the streaming generation (version text ending in "-V3").
  bool isV3() const;

  // State of a command family or a device behind the controller (pump, gauge, heaters...), created
  // on first use and kept for the instrument's life.
  template <class T>
  T& part() {
    auto& slot = parts_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }

 private:
  std::map<std::type_index, std::shared_ptr<void>> parts_;
};

// What firmware code may touch while it holds the instrument. Only valid during the call it was
// given to; never call the Instrument's public member functions from inside (they lock).
class FirmwareContext {
 public:
  explicit FirmwareContext(Instrument& instrument) : instrument_(instrument) {}
  FirmwareState& state();
  const InstrumentOptions& options() const;
  SimClock& clock();  // the simulated time of physical processes
  TimePoint now() const { return SteadyClock::now(); }
  // Queues one message on an IN endpoint, readable from `availableAt` on.
  void push(uint8_t endpoint, std::span<const uint8_t> bytes, TimePoint availableAt = {});
  void push(uint8_t endpoint, std::string_view text, TimePoint availableAt = {});
  bool hasEndpoint(uint8_t endpoint) const;

 protected:
  Instrument& instrument_;
};

// A stream source of one IN endpoint: queue (with `push`) every message due by `now` and return
// when the next one falls due (TimePoint::max() when none will). Readers of that endpoint call it
// whenever they look for data and sleep no longer than until the time it returns.
using StreamSource = std::function<TimePoint(FirmwareContext&, TimePoint now)>;

class CommandContext : public FirmwareContext {
 public:
  CommandContext(Instrument& instrument, std::span<const uint8_t> bytes);
  std::span<const uint8_t> bytes() const { return bytes_; }  // the whole command as written
  std::string_view text() const;  // the same bytes as characters (may hold raw bytes)
  std::string_view code() const;  // the two characters after "-1B"; empty when malformed
  std::string_view args() const;  // everything after the code

  void reply(std::span<const uint8_t> bytes);  // one message on the command IN endpoint
  void reply(std::string_view text);
  void ack() { reply(std::string_view("ACK")); }
  void refuse() { reply(std::string_view("NAK")); }
  // The replies of this command become readable only `d` after it was written, as from a
  // controller that works on it that long (an older generation's scan).
  void delayReplies(SteadyClock::duration d);
  // Installs (or with an empty function removes) the stream source of an IN endpoint.
  void setStreamSource(uint8_t endpoint, StreamSource source);

 private:
  std::span<const uint8_t> bytes_;
};

using CommandHandler = std::function<void(CommandContext&)>;

class Firmware {
 public:
  // The table of every command family the simulated controller knows.
  static Firmware standard();

  void on(std::string_view code, CommandHandler handler);  // replaces an earlier handler
  void remove(std::string_view code);
  // Runs the handler of the command's code; refuses malformed and unknown commands.
  void dispatch(CommandContext& context) const;

 private:
  std::map<std::string, CommandHandler, std::less<>> handlers_;
};

// Command families (one function per family, each in its own source file of sim/).
void installLinkCommands(Firmware& firmware);
void installSerialCommands(Firmware& firmware);  // serial ports and the devices behind them
void installStatusCommands(Firmware& firmware);  // "-1B3000", the V3 status stream
void installIoCommands(Firmware& firmware);      // digital outputs, analog I/O, I2C
void installScanCommands(Firmware& firmware);    // DAC codes, scans, the V3 scan queue
void installHeaterCommands(Firmware& firmware);  // the board's own heater channels
void installUpdateCommands(Firmware& firmware);  // firmware update
void installConfigCommands(Firmware& firmware);  // flash regions, frequency, gauge selection

}  // namespace zyl::sim
