// The command table of the simulated controller and the context its handlers work in.
#include <zyl/sim/Firmware.h>
#include <zyl/sim/Instrument.h>

namespace zyl::sim {

bool FirmwareState::isV3() const {
  return version.ends_with("-V3");
}

FirmwareState& FirmwareContext::state() {
  return instrument_.state_;
}
const InstrumentOptions& FirmwareContext::options() const {
  return instrument_.options_;
}
SimClock& FirmwareContext::clock() {
  return instrument_.clock_;
}

void FirmwareContext::push(uint8_t endpoint, std::span<const uint8_t> bytes,
                           TimePoint availableAt) {
  instrument_.pushLocked(endpoint, std::vector<uint8_t>(bytes.begin(), bytes.end()), availableAt);
}

void FirmwareContext::push(uint8_t endpoint, std::string_view text, TimePoint availableAt) {
  instrument_.pushLocked(endpoint, std::vector<uint8_t>(text.begin(), text.end()), availableAt);
}

bool FirmwareContext::hasEndpoint(uint8_t endpoint) const {
  return endpoint == kCommandOut || instrument_.fifo(endpoint) != nullptr;
}

CommandContext::CommandContext(Instrument& instrument, std::span<const uint8_t> bytes)
    : FirmwareContext(instrument), bytes_(bytes) {}

std::string_view CommandContext::text() const {
  return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
}

std::string_view CommandContext::code() const {
  std::string_view t = text();
  return t.size() >= 5 && t.starts_with("-1B") ? t.substr(3, 2) : std::string_view();
}

std::string_view CommandContext::args() const {
  std::string_view t = text();
  return t.size() >= 5 ? t.substr(5) : std::string_view();
}

void CommandContext::reply(std::span<const uint8_t> bytes) {
  // Replies wait until the handler is done, so that a fault injected on the command can act on
  // them before they reach the FIFO.
  if (instrument_.pendingReplies_)
    instrument_.pendingReplies_->emplace_back(bytes.begin(), bytes.end());
  else
    push(kCommandIn, bytes);
}

void CommandContext::delayReplies(SteadyClock::duration d) {
  instrument_.pendingDelay_ = d;
}

void CommandContext::reply(std::string_view text) {
  reply(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void CommandContext::setStreamSource(uint8_t endpoint, StreamSource source) {
  if (auto* f = instrument_.fifo(endpoint)) {
    f->source = std::move(source);
    instrument_.changed_.notify_all();  // readers recompute when to look again
  }
}

void Firmware::on(std::string_view code, CommandHandler handler) {
  if (!handler) return remove(code);
  handlers_.insert_or_assign(std::string(code), std::move(handler));
}

void Firmware::remove(std::string_view code) {
  if (auto it = handlers_.find(code); it != handlers_.end()) handlers_.erase(it);
}

void Firmware::dispatch(CommandContext& context) const {
  std::string_view code = context.code();
  auto it = code.empty() ? handlers_.end() : handlers_.find(code);
  if (it == handlers_.end()) return context.refuse();
  it->second(context);
}

Firmware Firmware::standard() {
  Firmware firmware;
  installLinkCommands(firmware);
  installSerialCommands(firmware);
  installStatusCommands(firmware);
  installIoCommands(firmware);
  installScanCommands(firmware);
  installHeaterCommands(firmware);
  installUpdateCommands(firmware);
  installConfigCommands(firmware);
  return firmware;
}

}  // namespace zyl::sim
