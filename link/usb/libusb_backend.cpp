// The libusb-1.0 back end.
//
// Sharing: Linux lets only one open file claim an interface, and the command, status and scan
// pipes each want a handle of their own. So every physical device has one SharedDevice (the
// libusb handle with interface 0 claimed), and every UsbHandle opened onto it holds a reference;
// the last one gone releases the interface and closes the libusb handle.
//
// Transfers: each UsbHandle owns one preallocated libusb_transfer per endpoint (plus one for
// vendor requests on endpoint 0), so the steady state allocates nothing. The thread that waits
// for a transfer handles libusb's events itself; when several threads wait at once libusb lets
// one of them handle events and wakes the others, so no thread of our own is needed. Our own
// deadline bounds each wait; when it passes, or abortPipe is called, the transfer is cancelled
// and we keep handling events until its callback has run, because until then the kernel may still
// write into the caller's buffer.
#include "link/usb/libusb_backend.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "link/text.h"

namespace zyl::usb {

UsbIdList parseUsbIds(std::string_view text) {
  using zyl::detail::trimBlanks;
  // Four hex digits at most, with or without "0x".
  auto hexId = [](std::string_view s, uint16_t& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    const auto value = zyl::detail::hexField(s, 4);
    if (value) out = static_cast<uint16_t>(*value);
    return value.has_value();
  };

  UsbIdList list;
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view entry = trimBlanks(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (entry.empty()) continue;

    UsbId id;
    size_t colon = entry.find(':');
    std::string_view vendor = trimBlanks(entry.substr(0, colon));
    bool ok = hexId(vendor, id.vendorId);
    if (ok && colon == std::string_view::npos) {
      id.anyProduct = true;
    } else if (ok) {
      std::string_view product = trimBlanks(entry.substr(colon + 1));
      if (product == "*")
        id.anyProduct = true;
      else
        ok = hexId(product, id.productId);
    }
    if (ok)
      list.ids.push_back(id);
    else
      list.rejected.emplace_back(entry);
  }
  return list;
}

std::vector<UsbId> defaultUsbIds() {
  return {UsbId{0x04B4, 0, true}};
}

bool matchesUsbId(const std::vector<UsbId>& ids, uint16_t vendorId, uint16_t productId) {
  return std::any_of(ids.begin(), ids.end(), [&](const UsbId& id) {
    return id.vendorId == vendorId && (id.anyProduct || id.productId == productId);
  });
}

bool isInstrumentLayout(const std::vector<EndpointDescriptor>& endpoints) {
  int bulkIn = 0, bulkOut = 0;
  for (const EndpointDescriptor& ep : endpoints) {
    if ((ep.attributes & 3) != LIBUSB_TRANSFER_TYPE_BULK || ep.maxPacketSize == 0) continue;
    ++((ep.address & LIBUSB_ENDPOINT_IN) ? bulkIn : bulkOut);
  }
  return bulkOut >= 1 && bulkIn >= 1;
}

TransferResult resultOfError(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return TransferResult::ok;
    case LIBUSB_ERROR_TIMEOUT:
      return TransferResult::timeout;
    case LIBUSB_ERROR_PIPE:
      return TransferResult::stall;
    case LIBUSB_ERROR_NO_DEVICE:
      return TransferResult::noDevice;
    case LIBUSB_ERROR_INTERRUPTED:
      return TransferResult::cancelled;
    default:
      return TransferResult::other;
  }
}

uint16_t decodeMaxPacketSize(uint16_t wMaxPacketSize) {
  return static_cast<uint16_t>((wMaxPacketSize & 0x7FF) * (1 + ((wMaxPacketSize >> 11) & 3)));
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kInterface = 0;
// bmRequestType of a vendor request: host to device, vendor type, device recipient.
constexpr uint8_t kVendorOut =
    LIBUSB_ENDPOINT_OUT | int{LIBUSB_REQUEST_TYPE_VENDOR} | int{LIBUSB_RECIPIENT_DEVICE};
// How long a waiter that has cancelled its transfer sleeps in libusb per round; the callback
// normally wakes it much sooner.
constexpr auto kCancelPollInterval = std::chrono::milliseconds(100);

void libusbFailed(const char* what, int rc) {
  diagnostic("libusb: %s failed: %s", what, libusb_error_name(rc));
}

// The error code that corresponds to how a transfer ended, so that transfer failures are logged
// and classified like every other libusb error.
int transferError(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED:
      return LIBUSB_ERROR_INTERRUPTED;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    default:
      return LIBUSB_ERROR_IO;
  }
}

}  // namespace

TransferResult resultOfTransfer(int status, bool deadlinePassed) {
  if (status == LIBUSB_TRANSFER_CANCELLED && deadlinePassed) return TransferResult::timeout;
  return resultOfError(transferError(status));
}

namespace {

std::vector<EndpointDescriptor> endpointsOf(const libusb_interface_descriptor& setting) {
  std::vector<EndpointDescriptor> endpoints;
  for (int i = 0; i < setting.bNumEndpoints; ++i) {
    const libusb_endpoint_descriptor& ep = setting.endpoint[i];
    endpoints.push_back({ep.bEndpointAddress, ep.bmAttributes,
                         decodeMaxPacketSize(ep.wMaxPacketSize), ep.bInterval});
  }
  return endpoints;
}

// Interface 0, alternate setting 0 of the active configuration; false when the device has none.
bool interfaceEndpoints(libusb_device* device, std::vector<EndpointDescriptor>& endpoints) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return false;
  bool found =
      config->bNumInterfaces > kInterface && config->interface[kInterface].num_altsetting > 0;
  if (found) endpoints = endpointsOf(config->interface[kInterface].altsetting[0]);
  libusb_free_config_descriptor(config);
  return found;
}

bool isBlank(std::string_view text) {
  return zyl::detail::trimBlanks(text).empty();
}

uint16_t busAddress(libusb_device* device) {
  return static_cast<uint16_t>(libusb_get_bus_number(device) << 8 |
                               libusb_get_device_address(device));
}

class SharedDevice;

// The libusb context, the recognition list and the table of devices we hold open. It lives as
// long as the back end or any handle, so libusb_exit runs after the last handle is closed.
class Context {
 public:
  explicit Context(std::optional<std::vector<UsbId>> ids) : fixedIds_(std::move(ids)) {}
  ~Context() {
    if (ctx_) libusb_exit(ctx_);
  }

  // Null when libusb cannot be initialised; that is said once, on the first call.
  libusb_context* get() {
    std::lock_guard lock(initLock_);
    if (!initialised_) {
      initialised_ = true;
      ids_ = fixedIds_ ? *fixedIds_ : defaultUsbIds();
      const char* text = fixedIds_ ? nullptr : std::getenv("ZYL_USB_IDS");
      if (text && !isBlank(text)) {
        UsbIdList parsed = parseUsbIds(text);
        ids_ = std::move(parsed.ids);
        for (const std::string& bad : parsed.rejected)
          diagnostic("libusb: ZYL_USB_IDS entry \"%s\" ignored: not VENDOR[:PRODUCT|:*] in hex",
                     bad.c_str());
      }
      int rc = libusb_init(&ctx_);
      if (rc != LIBUSB_SUCCESS) {
        ctx_ = nullptr;
        libusbFailed("libusb_init", rc);
      }
    }
    return ctx_;
  }

  const std::vector<UsbId>& ids() const { return ids_; }  // valid once get() returned non-null

  // Guards the device table; recursive because dropping the last reference to a SharedDevice
  // (which erases its entry) may happen while open() holds it.
  std::recursive_mutex registryLock;
  std::map<libusb_device*, std::weak_ptr<SharedDevice>> registry;
  std::set<uint16_t> reported;  // devices already reported as skipped, by bus and address

 private:
  const std::optional<std::vector<UsbId>> fixedIds_;
  std::mutex initLock_;
  bool initialised_ = false;
  libusb_context* ctx_ = nullptr;
  std::vector<UsbId> ids_;
};

// One physical device opened by us, with interface 0 claimed.
class SharedDevice {
 public:
  SharedDevice(std::shared_ptr<Context> context, libusb_context* ctx, libusb_device* device,
               libusb_device_handle* handle, DeviceDescriptor descriptor)
      : context(std::move(context)),
        ctx(ctx),
        device(libusb_ref_device(device)),
        handle(handle),
        descriptor(std::move(descriptor)) {}

  ~SharedDevice() {
    if (alive()) {
      int rc = libusb_release_interface(handle, kInterface);
      if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NO_DEVICE)
        libusbFailed("libusb_release_interface", rc);
    }
    libusb_close(handle);
    libusb_unref_device(device);
  }

  bool alive() const { return !dead_.load(std::memory_order_acquire); }

  // Logs a failed libusb call. An error that says the device is gone marks it dead, so every
  // handle on it fails at once from now on instead of waiting out its time-outs; a replugged
  // instrument is a new libusb device and gets a new SharedDevice.
  void failed(const char* what, int rc) {
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
      if (!dead_.exchange(true)) libusbFailed(what, rc);
      return;
    }
    libusbFailed(what, rc);
  }
  void markDead() { dead_.store(true, std::memory_order_release); }

  const std::shared_ptr<Context> context;  // keeps libusb alive while the device is open
  libusb_context* const ctx;
  libusb_device* const device;
  libusb_device_handle* const handle;
  const DeviceDescriptor descriptor;

 private:
  std::atomic<bool> dead_{false};
};

// Per endpoint of a UsbHandle: its preallocated transfer and what abortPipe needs.
struct Slot {
  uint8_t address = 0;
  uint8_t type = 0;  // LIBUSB_TRANSFER_TYPE_*
  libusb_transfer* transfer = nullptr;

  // Orders submission and completion against abortPipe, so a cancel only ever hits the transfer
  // that was in flight when abortPipe was called, never the next one.
  std::mutex lock;
  bool inFlight = false;  // guarded by lock
  // Bumped by every abortPipe. A transfer notes it on entry and cancels itself when it changed,
  // so an abort that comes between entry and submission is not lost.
  std::atomic<uint32_t> aborts{0};

  // Written by the callback, possibly on another thread that is handling events; `done` is the
  // flag libusb watches and publishes the other two.
  alignas(std::atomic_ref<int>::required_alignment) int done = 0;
  int status = 0;
  int actualLength = 0;
};

void LIBUSB_CALL transferDone(libusb_transfer* transfer) {
  Slot* slot = static_cast<Slot*>(transfer->user_data);
  slot->status = transfer->status;
  slot->actualLength = transfer->actual_length;
  std::atomic_ref<int>(slot->done).store(1, std::memory_order_release);
}

class LibusbHandle final : public UsbHandle {
 public:
  explicit LibusbHandle(std::shared_ptr<SharedDevice> device) : device_(std::move(device)) {}

  ~LibusbHandle() override {
    for (size_t i = 0; i < slotCount_; ++i) libusb_free_transfer(slots_[i].transfer);
  }

  // Allocates one transfer per endpoint; false when memory runs out.
  bool prepare() {
    size_t count = device_->descriptor.endpoints.size() + 1;
    slots_ = std::make_unique<Slot[]>(count);
    slotCount_ = count;
    slots_[0].type = LIBUSB_TRANSFER_TYPE_CONTROL;
    for (size_t i = 1; i < count; ++i) {
      const EndpointDescriptor& ep = device_->descriptor.endpoints[i - 1];
      slots_[i].address = ep.address;
      slots_[i].type = ep.attributes & 3;
    }
    for (size_t i = 0; i < count; ++i) {
      slots_[i].transfer = libusb_alloc_transfer(0);
      if (!slots_[i].transfer) {
        diagnostic("libusb: libusb_alloc_transfer failed: %s",
                   libusb_error_name(LIBUSB_ERROR_NO_MEM));
        return false;
      }
    }
    return true;
  }

  const DeviceDescriptor& descriptor() const override { return device_->descriptor; }

  TransferResult bulkTransfer(uint8_t endpoint, uint8_t* data, long& length,
                              uint32_t timeoutMs) override {
    long requested = length;
    length = 0;
    if (!device_->alive()) return TransferResult::noDevice;
    Slot* slot = find(endpoint);
    if (!slot || endpoint == 0) {
      diagnostic("libusb: transfer on endpoint 0x%02x failed: no such endpoint", endpoint);
      return TransferResult::other;
    }
    if (slot->type != LIBUSB_TRANSFER_TYPE_BULK && slot->type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
      diagnostic("libusb: transfer on endpoint 0x%02x failed: not a bulk or interrupt endpoint",
                 endpoint);
      return TransferResult::other;
    }
    if (requested < 0 || requested > INT_MAX || (!data && requested > 0))
      return TransferResult::other;

    uint32_t aborts = slot->aborts.load(std::memory_order_acquire);
    auto allowance = std::chrono::milliseconds(timeoutMs ? timeoutMs : kZeroTimeoutGraceMs);
    auto fill = slot->type == LIBUSB_TRANSFER_TYPE_BULK ? libusb_fill_bulk_transfer
                                                        : libusb_fill_interrupt_transfer;
    fill(slot->transfer, device_->handle, endpoint, data, static_cast<int>(requested), transferDone,
         slot, 0);
    slot->transfer->flags = 0;  // never LIBUSB_TRANSFER_ADD_ZERO_PACKET: see the header
    return run(*slot, aborts, allowance, length);
  }

  TransferResult vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                               uint32_t timeoutMs) override {
    if (!device_->alive()) return TransferResult::noDevice;
    Slot& slot = slots_[0];
    uint32_t aborts = slot.aborts.load(std::memory_order_acquire);
    auto allowance = std::chrono::milliseconds(timeoutMs ? timeoutMs : kVendorRequestZeroTimeoutMs);
    libusb_fill_control_setup(setup_.data(), kVendorOut, request, value, index, 0);
    libusb_fill_control_transfer(slot.transfer, device_->handle, setup_.data(), transferDone, &slot,
                                 0);
    long moved = 0;
    return run(slot, aborts, allowance, moved);
  }

  bool abortPipe(uint8_t endpoint) override {
    if (!device_->alive()) return false;
    Slot* slot = find(endpoint);
    if (!slot) return false;
    std::lock_guard lock(slot->lock);
    slot->aborts.fetch_add(1, std::memory_order_acq_rel);
    if (slot->inFlight) cancel(*slot);
    return true;
  }

  bool resetPipe(uint8_t endpoint) override {
    if (!device_->alive()) return false;
    if (endpoint == 0 || !find(endpoint)) return false;
    int rc = libusb_clear_halt(device_->handle, endpoint);
    if (rc != LIBUSB_SUCCESS) device_->failed("libusb_clear_halt", rc);
    return rc == LIBUSB_SUCCESS;
  }

  bool resetParentPort() override {
    if (!device_->alive()) return false;
    int rc = libusb_reset_device(device_->handle);
    if (rc == LIBUSB_SUCCESS) return true;
    // NOT_FOUND: the device came back as a different one, so this handle can never reach it.
    if (rc == LIBUSB_ERROR_NOT_FOUND) device_->markDead();
    device_->failed("libusb_reset_device", rc);
    return false;
  }

 private:
  Slot* find(uint8_t address) {
    for (size_t i = 0; i < slotCount_; ++i)
      if (slots_[i].address == address) return &slots_[i];
    return nullptr;
  }

  void cancel(Slot& slot) {
    int rc = libusb_cancel_transfer(slot.transfer);
    // NOT_FOUND: it completed meanwhile, and its callback is on its way.
    if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NOT_FOUND)
      device_->failed("libusb_cancel_transfer", rc);
  }

  // Submits the filled transfer of `slot` and waits for its callback; see the file comment. The
  // allowance starts once the transfer is submitted: submitting can take longer than a short
  // time-out on a loaded machine, and a transfer cancelled before it ever reached the bus would
  // miss data the device was already holding (the 5 ms flush read of a fresh link does exactly
  // that, and then retries for seconds).
  TransferResult run(Slot& slot, uint32_t aborts, std::chrono::milliseconds allowance,
                     long& moved) {
    std::atomic_ref<int> done(slot.done);
    done.store(0, std::memory_order_relaxed);
    {
      std::lock_guard lock(slot.lock);
      int rc = libusb_submit_transfer(slot.transfer);
      if (rc != LIBUSB_SUCCESS) {
        device_->failed("libusb_submit_transfer", rc);
        return resultOfError(rc);
      }
      slot.inFlight = true;
    }
    const auto deadline = Clock::now() + allowance;

    bool cancelled = false, deadlinePassed = false, eventsFailed = false;
    while (!done.load(std::memory_order_acquire)) {
      auto now = Clock::now();
      if (!cancelled &&
          (now >= deadline || slot.aborts.load(std::memory_order_acquire) != aborts)) {
        std::lock_guard lock(slot.lock);
        cancel(slot);
        cancelled = true;
        deadlinePassed = now >= deadline;
      }
      auto wait = cancelled
                      ? std::chrono::duration_cast<std::chrono::microseconds>(kCancelPollInterval)
                      : std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
      timeval tv{static_cast<time_t>(wait.count() / 1000000),
                 static_cast<suseconds_t>(wait.count() % 1000000)};
      int rc = libusb_handle_events_timeout_completed(device_->ctx, &tv, &slot.done);
      if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_INTERRUPTED && rc != LIBUSB_ERROR_TIMEOUT) {
        if (!eventsFailed) libusbFailed("libusb_handle_events_timeout_completed", rc);
        eventsFailed = true;
        // Without working event handling the deadline would never be met; give up the transfer
        // now, which still waits for its callback.
        if (!cancelled) {
          std::lock_guard lock(slot.lock);
          cancel(slot);
          cancelled = true;
        }
      }
    }
    {
      std::lock_guard lock(slot.lock);
      slot.inFlight = false;
    }

    moved = std::max(slot.actualLength, 0);
    int rc = transferError(slot.status);
    // A time-out or an abort is the caller's business, not an error of libusb.
    if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_INTERRUPTED) {
      char what[48];
      std::snprintf(what, sizeof what, "transfer on endpoint 0x%02x", slot.address);
      device_->failed(what, rc);
    }
    if (eventsFailed && slot.status == LIBUSB_TRANSFER_CANCELLED) return TransferResult::other;
    return resultOfTransfer(slot.status, deadlinePassed);
  }

  std::shared_ptr<SharedDevice> device_;
  std::unique_ptr<Slot[]> slots_;
  size_t slotCount_ = 0;
  std::array<unsigned char, LIBUSB_CONTROL_SETUP_SIZE> setup_{};
};

class LibusbBackend final : public UsbBackend {
 public:
  explicit LibusbBackend(std::optional<std::vector<UsbId>> ids)
      : context_(std::make_shared<Context>(std::move(ids))) {}

  int deviceCount() override {
    try {
      libusb_context* ctx = context_->get();
      if (!ctx) return 0;
      std::lock_guard lock(context_->registryLock);
      DeviceList list(ctx);
      return static_cast<int>(instruments(list).size());
    } catch (...) {
      return 0;
    }
  }

  std::unique_ptr<UsbHandle> open(int index) override {
    try {
      libusb_context* ctx = context_->get();
      if (!ctx || index < 0) return nullptr;
      std::lock_guard lock(context_->registryLock);
      DeviceList list(ctx);
      std::vector<libusb_device*> found = instruments(list);
      if (static_cast<size_t>(index) >= found.size()) return nullptr;

      std::shared_ptr<SharedDevice> shared = held(found[index]);
      if (!shared) shared = openShared(ctx, found[index]);
      if (!shared) return nullptr;
      auto handle = std::make_unique<LibusbHandle>(std::move(shared));
      if (!handle->prepare()) return nullptr;
      return handle;
    } catch (...) {
      return nullptr;
    }
  }

  const char* name() const override { return "libusb"; }

  // Opens the device without claiming it, so that an instrument in use by another program is
  // listed too; one we may not open is listed with its IDs and place only.
  std::optional<DeviceDescriptor> describe(int index) override {
    try {
      libusb_context* ctx = context_->get();
      if (!ctx || index < 0) return std::nullopt;
      std::lock_guard lock(context_->registryLock);
      DeviceList list(ctx);
      std::vector<libusb_device*> found = instruments(list);
      if (static_cast<size_t>(index) >= found.size()) return std::nullopt;
      libusb_device* device = found[index];
      DeviceDescriptor out;
      libusb_device_handle* handle = nullptr;
      if (libusb_open(device, &handle) == LIBUSB_SUCCESS) {
        const bool ok = describe(device, handle, out);
        libusb_close(handle);
        if (ok) return out;
      }
      libusb_device_descriptor dd;
      if (libusb_get_device_descriptor(device, &dd) != LIBUSB_SUCCESS) return std::nullopt;
      out.vendorId = dd.idVendor;
      out.productId = dd.idProduct;
      out.busNumber = libusb_get_bus_number(device);
      out.deviceAddress = libusb_get_device_address(device);
      return out;
    } catch (...) {
      return std::nullopt;
    }
  }

 private:
  // libusb's device list, freed (and its devices unreferenced) on scope exit.
  struct DeviceList {
    explicit DeviceList(libusb_context* ctx) {
      ssize_t n = libusb_get_device_list(ctx, &devices);
      if (n < 0) {
        libusbFailed("libusb_get_device_list", static_cast<int>(n));
        devices = nullptr;
        n = 0;
      }
      count = static_cast<size_t>(n);
    }
    ~DeviceList() {
      if (devices) libusb_free_device_list(devices, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    libusb_device** devices = nullptr;
    size_t count = 0;
  };

  // The SharedDevice we already hold for `device`, if it is still usable.
  std::shared_ptr<SharedDevice> held(libusb_device* device) {
    auto it = context_->registry.find(device);
    if (it == context_->registry.end()) return nullptr;
    std::shared_ptr<SharedDevice> shared = it->second.lock();
    return shared && shared->alive() ? shared : nullptr;
  }

  // The instruments present now, in a stable order (bus, then port path), so that deviceCount
  // and open(i) agree however libusb orders its list. Caller holds registryLock.
  std::vector<libusb_device*> instruments(const DeviceList& list) {
    // Bus, then the port numbers, zero after the last: port numbers start at 1, so a hub sorts
    // before the devices behind it. Fixed size, so that comparing two paths needs no length.
    struct Found {
      libusb_device* device;
      std::array<uint8_t, 8> path;
    };
    std::vector<Found> found;
    std::set<uint16_t> present;
    for (size_t i = 0; i < list.count; ++i) {
      libusb_device* device = list.devices[i];
      libusb_device_descriptor dd;
      if (libusb_get_device_descriptor(device, &dd) != LIBUSB_SUCCESS) continue;
      if (!matchesUsbId(context_->ids(), dd.idVendor, dd.idProduct)) continue;
      std::vector<EndpointDescriptor> endpoints;
      if (!interfaceEndpoints(device, endpoints) || !isInstrumentLayout(endpoints)) continue;
      present.insert(busAddress(device));
      if (!held(device) && kernelDriverBound(device)) continue;

      Found f{device, {}};
      f.path[0] = libusb_get_bus_number(device);
      // USB allows at most 7 tiers of ports; a longer answer is an error and leaves only the bus.
      if (libusb_get_port_numbers(device, f.path.data() + 1, static_cast<int>(f.path.size() - 1)) <
          0)
        std::fill(f.path.begin() + 1, f.path.end(), 0);
      found.push_back(f);
    }
    // Forget reports of devices that left, so one that comes back is reported again.
    std::erase_if(context_->reported, [&](uint16_t key) { return !present.count(key); });

    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.path < b.path; });
    std::vector<libusb_device*> devices;
    for (const Found& f : found) devices.push_back(f.device);
    return devices;
  }

  // Whether a kernel driver holds interface 0; such a device is reported once and skipped. A
  // device we cannot open to ask is counted, so that opening it reports why it fails.
  bool kernelDriverBound(libusb_device* device) {
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return false;
    bool bound = libusb_kernel_driver_active(handle, kInterface) == 1;
    libusb_close(handle);
    if (bound && context_->reported.insert(busAddress(device)).second)
      diagnostic("libusb: device on bus %u address %u skipped: a kernel driver holds interface 0",
                 libusb_get_bus_number(device), libusb_get_device_address(device));
    return bound;
  }

  std::shared_ptr<SharedDevice> openShared(libusb_context* ctx, libusb_device* device) {
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(device, &handle);
    if (rc != LIBUSB_SUCCESS) {
      libusbFailed("libusb_open", rc);
      return nullptr;
    }
    // From here on the handle is closed on every way out unless a SharedDevice takes it.
    std::unique_ptr<libusb_device_handle, void (*)(libusb_device_handle*)> guard(handle,
                                                                                 libusb_close);
    if (libusb_kernel_driver_active(handle, kInterface) == 1) {
      diagnostic("libusb: device on bus %u address %u skipped: a kernel driver holds interface 0",
                 libusb_get_bus_number(device), libusb_get_device_address(device));
      return nullptr;
    }
    rc = libusb_claim_interface(handle, kInterface);
    if (rc != LIBUSB_SUCCESS) {
      // A device that opens but cannot be claimed is reset once and tried again. Not when another
      // program holds the interface (BUSY): the reset would break its transfers and its claim
      // would survive the reset anyway.
      libusbFailed("libusb_claim_interface", rc);
      if (rc == LIBUSB_ERROR_BUSY) return nullptr;
      rc = libusb_reset_device(handle);
      if (rc != LIBUSB_SUCCESS) {
        libusbFailed("libusb_reset_device", rc);
        return nullptr;
      }
      rc = libusb_claim_interface(handle, kInterface);
      if (rc != LIBUSB_SUCCESS) {
        libusbFailed("libusb_claim_interface", rc);
        return nullptr;
      }
    }

    DeviceDescriptor descriptor;
    if (!describe(device, handle, descriptor)) {
      libusb_release_interface(handle, kInterface);
      return nullptr;
    }
    guard.release();
    std::shared_ptr<Context> context = context_;
    std::shared_ptr<SharedDevice> shared(
        new SharedDevice(context, ctx, device, handle, std::move(descriptor)),
        [context](SharedDevice* gone) {
          std::lock_guard lock(context->registryLock);
          auto it = context->registry.find(gone->device);
          if (it != context->registry.end() && it->second.expired()) context->registry.erase(it);
          delete gone;
        });
    context_->registry[device] = shared;
    return shared;
  }

  static bool describe(libusb_device* device, libusb_device_handle* handle, DeviceDescriptor& out) {
    libusb_device_descriptor dd;
    int rc = libusb_get_device_descriptor(device, &dd);
    if (rc != LIBUSB_SUCCESS) {
      libusbFailed("libusb_get_device_descriptor", rc);
      return false;
    }
    if (!interfaceEndpoints(device, out.endpoints)) {
      diagnostic("libusb: libusb_get_active_config_descriptor failed: %s",
                 libusb_error_name(LIBUSB_ERROR_NOT_FOUND));
      return false;
    }
    out.vendorId = dd.idVendor;
    out.productId = dd.idProduct;
    out.bcdUSB = dd.bcdUSB;
    out.deviceClass = dd.bDeviceClass;
    out.maxPacketSize0 = dd.bMaxPacketSize0;
    out.manufacturer = text(handle, dd.iManufacturer);
    out.product = text(handle, dd.iProduct);
    out.serialNumber = text(handle, dd.iSerialNumber);
    out.highSpeed = libusb_get_device_speed(device) >= LIBUSB_SPEED_HIGH;
    out.busNumber = libusb_get_bus_number(device);
    out.deviceAddress = libusb_get_device_address(device);
    return true;
  }

  static std::string text(libusb_device_handle* handle, uint8_t index) {
    if (index == 0) return {};
    std::array<unsigned char, 256> buffer{};
    int n = libusb_get_string_descriptor_ascii(handle, index, buffer.data(),
                                               static_cast<int>(buffer.size()));
    if (n < 0) {
      libusbFailed("libusb_get_string_descriptor_ascii", n);
      return {};
    }
    return std::string(reinterpret_cast<const char*>(buffer.data()),
                       std::min(static_cast<size_t>(n), buffer.size()));
  }

  const std::shared_ptr<Context> context_;
};

}  // namespace

std::shared_ptr<UsbBackend> makeLibusbBackend() {
  try {
    return std::make_shared<LibusbBackend>(std::nullopt);
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<UsbBackend> makeLibusbBackend(std::vector<UsbId> ids) {
  try {
    return std::make_shared<LibusbBackend>(std::move(ids));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace zyl::usb
