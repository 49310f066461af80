// The USB side of the simulated instrument: endpoint FIFOs, handles, faults and the trace.
#include <zyl/sim/Instrument.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "sim/state_file.h"

namespace zyl::sim {

// ---------------------------------------------------------------------------------------------
// SimClock

SimClock::SimClock(double scale) : realBase_(SteadyClock::now()), scale_(scale) {}

double SimClock::nowLocked() const {
  if (manual_) return simBase_;
  std::chrono::duration<double, std::milli> real = SteadyClock::now() - realBase_;
  return simBase_ + real.count() * scale_;
}

double SimClock::nowMs() const {
  std::lock_guard lock(mutex_);
  return nowLocked();
}

double SimClock::scale() const {
  std::lock_guard lock(mutex_);
  return scale_;
}

// Changing the rate or the mode restarts the real-time base, so simulated time never jumps.
void SimClock::setScale(double scale) {
  std::lock_guard lock(mutex_);
  simBase_ = nowLocked();
  realBase_ = SteadyClock::now();
  scale_ = scale;
}

void SimClock::setManual(bool manual) {
  std::lock_guard lock(mutex_);
  simBase_ = nowLocked();
  realBase_ = SteadyClock::now();
  manual_ = manual;
}

bool SimClock::manual() const {
  std::lock_guard lock(mutex_);
  return manual_;
}

void SimClock::advance(double ms) {
  std::lock_guard lock(mutex_);
  if (ms > 0) simBase_ += ms;
}

// ---------------------------------------------------------------------------------------------
// The handle

class InstrumentHandle : public zyl::usb::UsbHandle {
 public:
  using Result = zyl::usb::TransferResult;
  InstrumentHandle(std::shared_ptr<Instrument> instrument, uint64_t id, uint64_t epoch)
      : instrument_(std::move(instrument)), id_(id), epoch_(epoch) {}

  const zyl::usb::DeviceDescriptor& descriptor() const override {
    return instrument_->descriptor();
  }

  // Nothing may escape to the device layer: a stream source or an allocation that throws makes
  // the transfer fail, as a transfer error would on the bus.
  Result bulkTransfer(uint8_t endpoint, uint8_t* data, long& length, uint32_t timeoutMs) override {
    try {
      if (endpoint & 0x80) return instrument_->read(*this, endpoint, data, length, timeoutMs);
      if (endpoint == kCommandOut) return instrument_->writeCommand(*this, data, length);
    } catch (...) {
    }
    length = 0;
    return Result::other;
  }
  Result vendorRequest(uint8_t request, uint16_t value, uint16_t index, uint32_t) override {
    try {
      return instrument_->vendorRequest(*this, request, value, index);
    } catch (...) {
      return Result::other;
    }
  }
  bool abortPipe(uint8_t endpoint) override { return instrument_->abortPipe(*this, endpoint); }
  bool resetPipe(uint8_t endpoint) override { return instrument_->resetPipe(*this, endpoint); }
  bool resetParentPort() override { return instrument_->resetParentPort(*this); }

  uint64_t id() const { return id_; }
  uint64_t epoch() const { return epoch_; }
  // Bumped by abortPipe; a read that sees its endpoint's count change was cancelled.
  std::array<uint64_t, 3> aborts{};

 private:
  std::shared_ptr<Instrument> instrument_;
  uint64_t id_;
  uint64_t epoch_;
};

// ---------------------------------------------------------------------------------------------
// Instrument

namespace {

zyl::usb::DeviceDescriptor makeDescriptor(const InstrumentOptions& options) {
  zyl::usb::DeviceDescriptor d;
  d.vendorId = kVendorId;
  d.productId = options.productId;
  d.bcdUSB = 0x0200;
  d.deviceClass = 0xFF;
  d.maxPacketSize0 = 64;
  d.manufacturer = "zyl simulator";
  d.product = options.model;
  d.serialNumber = options.serialNumber;
  d.highSpeed = true;
  constexpr uint8_t kBulk = 2;
  d.endpoints.push_back({kCommandOut, kBulk, 512, 0});
  d.endpoints.push_back({kCommandIn, kBulk, 512, 0});
  if (options.bulkInEndpoints >= 2) d.endpoints.push_back({kStatusIn, kBulk, 512, 0});
  if (options.bulkInEndpoints == 3) d.endpoints.push_back({kScanIn, kBulk, 512, 0});
  return d;
}

int fifoSlot(uint8_t endpoint) {
  switch (endpoint) {
    case kCommandIn:
      return 0;
    case kStatusIn:
      return 1;
    case kScanIn:
      return 2;
    default:
      return -1;
  }
}

}  // namespace

Instrument::Instrument(InstrumentOptions options)
    : options_(std::move(options)),
      clock_(options_.timeScale),
      created_(SteadyClock::now()),
      firmware_(Firmware::standard()),
      faultRng_(options_.seed ^ 0x5A17FA17u) {
  if (options_.bulkInEndpoints < 1 || options_.bulkInEndpoints > 3)
    throw std::invalid_argument("zyl::sim::Instrument: bulkInEndpoints must be 1, 2 or 3");
  descriptor_ = makeDescriptor(options_);
  if (options_.manualClock) clock_.setManual(true);
  state_.version = options_.firmwareVersion;
  state_.model = options_.model;
  state_.rng.seed(options_.seed);
  fifos_.resize(static_cast<size_t>(options_.bulkInEndpoints));
  fifos_[0].address = kCommandIn;
  if (fifos_.size() > 1) fifos_[1].address = kStatusIn;
  if (fifos_.size() > 2) fifos_[2].address = kScanIn;
  FirmwareContext context(*this);
  loadStateFile(context);
  // Written at once, so that a file that cannot be written is found before any work is done.
  if (std::string why = saveStateFile(context); !why.empty()) throw StateFileError(why);
}

Instrument::~Instrument() {
  if (options_.stateFile.empty() || saveFailed_) return;
  try {
    if (const std::string why = saveState(); !why.empty())
      std::fprintf(stderr, "zyl simulator: %s\n", why.c_str());
  } catch (...) {
  }
}

std::string Instrument::saveState() {
  std::lock_guard lock(mutex_);
  FirmwareContext context(*this);
  std::string why = saveStateFile(context);
  saveFailed_ = !why.empty();
  return why;
}

std::unique_ptr<zyl::usb::UsbHandle> Instrument::open() {
  std::lock_guard lock(mutex_);
  if (!pluggedLocked()) return nullptr;
  return std::make_unique<InstrumentHandle>(shared_from_this(), nextHandleId_++, epoch_);
}

bool Instrument::plugged() {
  std::lock_guard lock(mutex_);
  return pluggedLocked();
}

void Instrument::unplug() {
  std::lock_guard lock(mutex_);
  replugAt_.reset();
  unplugLocked();
}

void Instrument::replug() {
  std::lock_guard lock(mutex_);
  replugLocked();
}

bool Instrument::pluggedLocked() {
  if (!plugged_ && replugAt_ && SteadyClock::now() >= *replugAt_) replugLocked();
  return plugged_;
}

void Instrument::unplugLocked() {
  if (!plugged_) return;
  plugged_ = false;
  ++epoch_;
  clearFifos();
  changed_.notify_all();
}

void Instrument::replugLocked() {
  replugAt_.reset();
  if (plugged_) return;
  plugged_ = true;
  clearFifos();
  outHalted_ = false;
  for (auto& f : fifos_) f.halted = false;
}

bool Instrument::alive(const InstrumentHandle& handle) {
  return pluggedLocked() && handle.epoch() == epoch_;
}

void Instrument::on(std::string_view code, CommandHandler handler) {
  std::lock_guard lock(mutex_);
  firmware_.on(code, std::move(handler));
}

Instrument::InFifo* Instrument::fifo(uint8_t endpoint) {
  int slot = fifoSlot(endpoint);
  if (slot < 0 || static_cast<size_t>(slot) >= fifos_.size()) return nullptr;
  return &fifos_[static_cast<size_t>(slot)];
}

void Instrument::clearFifos() {
  for (auto& f : fifos_) {
    f.messages.clear();
    f.bytes = 0;
  }
}

void Instrument::pushLocked(uint8_t endpoint, std::vector<uint8_t> data, TimePoint availableAt) {
  InFifo* f = fifo(endpoint);
  if (!f || !plugged_) return;
  f->bytes += data.size();
  f->messages.push_back({std::move(data), 0, availableAt});
  // A host that stops reading a stream must not make the instrument grow without limit: the
  // oldest data go first, as an FX2 whose FIFO is full loses what the controller cannot hand it.
  while (f->messages.size() > 1 &&
         (f->messages.size() > options_.fifoMessages || f->bytes > options_.fifoBytes)) {
    const Message& m = f->messages.front();
    f->bytes -= m.data.size() - m.offset;
    f->messages.pop_front();
  }
  changed_.notify_all();
}

TimePoint Instrument::pollSource(InFifo& f, TimePoint now) {
  if (!f.source) return TimePoint::max();
  FirmwareContext context(*this);
  StreamSource source = f.source;  // the source may replace itself
  return source(context, now);
}

int Instrument::inject(Fault fault) {
  std::lock_guard lock(mutex_);
  int id = nextFaultId_++;
  faults_.push_back({id, std::move(fault)});
  return id;
}

void Instrument::removeFault(int id) {
  std::lock_guard lock(mutex_);
  std::erase_if(faults_, [id](const ActiveFault& f) { return f.id == id; });
}

void Instrument::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

// `command` is the code of a command being written (empty for other transfers); `endpoint` the
// endpoint of the transfer, 0 for a vendor request.
std::optional<Fault> Instrument::matchFault(std::string_view command, int endpoint) {
  std::optional<Fault> hit;
  for (auto it = faults_.begin(); it != faults_.end();) {
    Fault& f = it->fault;
    bool counts;
    if (!f.command.empty())
      counts = !command.empty() && (f.command == "*" || f.command == command);
    else
      counts = f.endpoint == kAnyEndpoint || f.endpoint == endpoint;
    // Every fault counts the event; of those due, the one injected first fires and the others
    // stay due for the next counted event.
    if (counts) ++it->seen;
    if (counts && !hit) {
      if (it->seen >= std::max<uint32_t>(f.nth, 1)) {
        hit = f;
        ++it->fired;
        if (f.times != 0 && it->fired >= f.times) {
          it = faults_.erase(it);
          continue;
        }
      }
    }
    ++it;
  }
  return hit;
}

void Instrument::applyReplyFault(const Fault& fault, std::vector<uint8_t>& data,
                                 TimePoint& availableAt) {
  switch (fault.kind) {
    case FaultKind::LateReply:
      availableAt =
          std::max(availableAt, SteadyClock::now()) + std::chrono::milliseconds(fault.delayMs);
      break;
    case FaultKind::NotAck:
      data.assign(fault.text.begin(), fault.text.end());
      break;
    case FaultKind::ShortReply:
      data.resize(std::min(data.size(), fault.length.value_or(data.size() / 2)));
      break;
    case FaultKind::GarbageReply: {
      data.resize(fault.length.value_or(data.size()));
      for (auto& b : data) b = static_cast<uint8_t>(faultRng_());
      break;
    }
    default:
      break;
  }
}

TraceEntry* Instrument::traceLocked(const InstrumentHandle& handle, uint8_t endpoint,
                                    Direction direction, std::span<const uint8_t> bytes, bool ok) {
  if (options_.traceEntries == 0) return nullptr;
  TraceEntry e;
  e.timeMs = std::chrono::duration<double, std::milli>(SteadyClock::now() - created_).count();
  e.handle = handle.id();
  e.endpoint = endpoint;
  e.direction = direction;
  e.length = bytes.size();
  auto kept = bytes.first(std::min(bytes.size(), options_.traceBytes));
  e.bytes.assign(kept.begin(), kept.end());
  e.ok = ok;
  trace_.push_back(std::move(e));
  while (trace_.size() > options_.traceEntries) trace_.pop_front();
  return &trace_.back();
}

std::vector<TraceEntry> Instrument::trace() const {
  std::lock_guard lock(mutex_);
  return {trace_.begin(), trace_.end()};
}

void Instrument::clearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

size_t Instrument::queuedMessages(uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  int slot = fifoSlot(endpoint);
  if (slot < 0 || static_cast<size_t>(slot) >= fifos_.size()) return 0;
  return fifos_[static_cast<size_t>(slot)].messages.size();
}

// ---------------------------------------------------------------------------------------------
// Transfers

Instrument::Result Instrument::writeCommand(InstrumentHandle& handle, const uint8_t* data,
                                            long& length) {
  std::unique_lock lock(mutex_);
  if (length < 0 || (length > 0 && !data)) {
    length = 0;
    return Result::other;
  }
  std::span<const uint8_t> bytes(data, static_cast<size_t>(length));
  auto fail = [&](Result why) {
    traceLocked(handle, kCommandOut, Direction::Out, {}, false);
    length = 0;
    return why;
  };
  if (!alive(handle)) return fail(Result::noDevice);
  if (outHalted_) return fail(Result::stall);

  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string_view code;
  if (text.size() >= 5 && text.starts_with("-1B")) code = text.substr(3, 2);
  std::optional<Fault> fault = matchFault(code.empty() ? std::string_view("?") : code, kCommandOut);

  if (fault) {
    switch (fault->kind) {
      case FaultKind::FailedWrite:
        return fail(Result::other);
      case FaultKind::Unplug:
        unplugLocked();
        return fail(Result::noDevice);
      case FaultKind::Stall:
        if (fault->endpoint == kAnyEndpoint || fault->endpoint == kCommandOut) {
          outHalted_ = true;
          return fail(Result::stall);
        }
        break;
      case FaultKind::NoReply:
        traceLocked(handle, kCommandOut, Direction::Out, bytes, true);
        return Result::ok;
      default:
        break;
    }
  }
  traceLocked(handle, kCommandOut, Direction::Out, bytes, true);

  std::vector<std::vector<uint8_t>> replies;
  pendingReplies_ = &replies;
  pendingDelay_ = {};
  try {
    CommandContext context(*this, bytes);
    firmware_.dispatch(context);
  } catch (...) {
    // A handler that breaks must not take the host down: the controller refuses the command.
    replies.assign(1, {'N', 'A', 'K'});
  }
  pendingReplies_ = nullptr;

  if (fault && fault->kind == FaultKind::Stall) {
    if (InFifo* f = fifo(static_cast<uint8_t>(fault->endpoint))) f->halted = true;
  }
  TimePoint now = SteadyClock::now();
  for (auto& r : replies) {
    TimePoint at = now + pendingDelay_;
    if (fault) applyReplyFault(*fault, r, at);
    pushLocked(kCommandIn, std::move(r), at);
  }
  return Result::ok;
}

Instrument::Result Instrument::read(InstrumentHandle& handle, uint8_t endpoint, uint8_t* data,
                                    long& length, uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const long capacity = length;
  length = 0;
  InFifo* f = fifo(endpoint);
  auto finish = [&](Result result) {
    traceLocked(handle, endpoint, Direction::In,
                std::span<const uint8_t>(data, static_cast<size_t>(length)), result == Result::ok);
    return result;
  };
  if (!alive(handle)) return finish(Result::noDevice);
  if (!f || capacity < 0 || (capacity > 0 && !data)) return finish(Result::other);
  const size_t slot = static_cast<size_t>(fifoSlot(endpoint));

  std::optional<Fault> fault = matchFault({}, endpoint);
  TimePoint start = SteadyClock::now();
  TimePoint deadline = start + std::chrono::milliseconds(timeoutMs);
  TimePoint notBefore = start;
  if (fault) {
    switch (fault->kind) {
      case FaultKind::FailedWrite:
        return finish(Result::other);
      case FaultKind::Unplug:
        unplugLocked();
        return finish(Result::noDevice);
      case FaultKind::Stall:
        if (InFifo* s =
                fault->endpoint == kAnyEndpoint ? f : fifo(static_cast<uint8_t>(fault->endpoint)))
          s->halted = true;
        break;
      case FaultKind::NoReply:
        notBefore = TimePoint::max();
        break;
      case FaultKind::LateReply:
        notBefore = start + std::chrono::milliseconds(fault->delayMs);
        break;
      default:
        break;
    }
  }
  if (f->halted) return finish(Result::stall);
  if (capacity == 0) return finish(Result::ok);

  const uint64_t aborts = handle.aborts[slot];
  for (;;) {
    if (!alive(handle)) return finish(Result::noDevice);
    if (handle.aborts[slot] != aborts) return finish(Result::cancelled);
    if (f->halted) return finish(Result::stall);
    TimePoint now = SteadyClock::now();
    TimePoint nextDue = pollSource(*f, now);
    if (now >= notBefore && !f->messages.empty() && f->messages.front().availableAt <= now) {
      Message& m = f->messages.front();
      std::span<const uint8_t> delivered = std::span<const uint8_t>(m.data).subspan(m.offset);
      std::vector<uint8_t> damaged;
      bool isDamaged = false;
      if (fault && (fault->kind == FaultKind::NotAck || fault->kind == FaultKind::ShortReply ||
                    fault->kind == FaultKind::GarbageReply)) {
        // The damaged message is consumed whole: what the host did not get is lost.
        isDamaged = true;
        damaged.assign(delivered.begin(), delivered.end());
        TimePoint ignored;
        applyReplyFault(*fault, damaged, ignored);
        delivered = damaged;
      }
      size_t take = std::min(delivered.size(), static_cast<size_t>(capacity));
      const bool whole = isDamaged || take == delivered.size();
      std::copy_n(delivered.begin(), take, data);
      length = static_cast<long>(take);
      if (whole) {
        f->bytes -= m.data.size() - m.offset;
        f->messages.pop_front();
      } else {
        m.offset += take;
        f->bytes -= take;
      }
      return finish(Result::ok);
    }
    if (timeoutMs == 0 || now >= deadline) return finish(Result::timeout);
    TimePoint wake = std::min(deadline, nextDue);
    if (!f->messages.empty())
      wake = std::min(wake, std::max(notBefore, f->messages.front().availableAt));
    else if (notBefore > now)
      wake = std::min(wake, notBefore);
    if (replugAt_) wake = std::min(wake, *replugAt_);
    changed_.wait_until(lock, wake);
  }
}

Instrument::Result Instrument::vendorRequest(InstrumentHandle& handle, uint8_t request,
                                             uint16_t value, uint16_t index) {
  std::lock_guard lock(mutex_);
  auto done = [&](Result result) {
    if (TraceEntry* e = traceLocked(handle, 0, Direction::Control, {}, result == Result::ok)) {
      e->request = request;
      e->value = value;
      e->index = index;
    }
    return result;
  };
  if (!alive(handle)) return done(Result::noDevice);
  if (std::optional<Fault> fault = matchFault({}, 0)) {
    switch (fault->kind) {
      case FaultKind::Unplug:
        unplugLocked();
        return done(Result::noDevice);
      case FaultKind::FailedWrite:
        return done(Result::other);
      case FaultKind::Stall:
        return done(Result::stall);
      case FaultKind::NoReply:
        return done(Result::timeout);
      default:
        break;
    }
  }
  switch (request) {
    case 4:  // the controller empties its endpoint buffers
      clearFifos();
      return done(Result::ok);
    case 5:  // the controller disconnects and enumerates again
      done(Result::ok);
      unplugLocked();
      if (options_.renumerateDelayMs == 0)
        replugLocked();
      else
        replugAt_ = SteadyClock::now() + std::chrono::milliseconds(options_.renumerateDelayMs);
      return Result::ok;
    default:  // the controller stalls requests it does not know
      return done(Result::stall);
  }
}

bool Instrument::abortPipe(InstrumentHandle& handle, uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  if (!alive(handle)) return false;
  if (endpoint == kCommandOut) return true;  // writes are never pending
  int slot = fifoSlot(endpoint);
  if (!fifo(endpoint)) return false;
  ++handle.aborts[static_cast<size_t>(slot)];
  changed_.notify_all();
  return true;
}

bool Instrument::resetPipe(InstrumentHandle& handle, uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  if (!alive(handle)) return false;
  if (endpoint == kCommandOut) {
    outHalted_ = false;
    return true;
  }
  InFifo* f = fifo(endpoint);
  if (!f) return false;
  f->halted = false;
  f->messages.clear();
  f->bytes = 0;
  return true;
}

bool Instrument::resetParentPort(InstrumentHandle& handle) {
  std::lock_guard lock(mutex_);
  return alive(handle);
}

}  // namespace zyl::sim
