// zyl_gadget: the simulated instrument presented on the device side of a Linux USB gadget stack
// through FunctionFS, so that the host library can be run over a real kernel USB stack (with
// dummy_hcd both sides live in one machine).
//
//   zyl_gadget --ffs DIR [--udc-file PATH --udc NAME] [--ready FILE] [--firmware VERSION]
//              [--bulk-in 1|2|3]
//
// DIR is where the FunctionFS instance is mounted. The program writes the descriptors and
// strings, creates FILE once the function can be bound, and then serves the instrument until it
// is killed. With --udc-file (the gadget's UDC file in configfs) and --udc, vendor request 5
// makes the device really leave the bus and come back, as the FX2 does when it re-enumerates.
//
// Behind the endpoints is a zyl::sim::Instrument, driven only through its public handle: one
// thread reads commands from the OUT endpoint file and writes them to the simulated OUT endpoint;
// one thread per IN endpoint takes whole messages from the simulated FIFO and writes each to the
// endpoint file as one transfer (ended by a short or zero-length packet, as the FX2 does). The
// USB connection maps onto the simulator's plug: the function being disabled (host gone, UDC
// unbound, bus reset) is an unplug, being enabled again a replug with a fresh handle.
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zyl/sim/Instrument.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/usb-stack/gadget/ffs.h"
#include "tests/usb-stack/gadget/test_commands.h"

namespace {

using namespace std::chrono_literals;
using zyl::sim::CommandContext;
using zyl::sim::FirmwareContext;
using zyl::sim::TimePoint;

constexpr size_t kOutBufferSize = 256 * 1024;       // a flash write (65,541 bytes) fits
constexpr size_t kInMessageSize = 8 * 1024 * 1024;  // a whole scan reply fits
constexpr size_t kWriteChunk = 64 * 1024;           // a multiple of every packet size
constexpr uint32_t kInPollMs = 20;                  // bounds how long a flush waits for a reader
constexpr uint8_t kVendorClearBuffers = 4;
constexpr uint8_t kVendorRenumerate = 5;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  // One write per line: several threads report, and the console must not mix their lines.
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length = std::min(static_cast<size_t>(n), sizeof line - 2);
  line[length] = '\n';
  std::string text = "zyl_gadget: " + std::string(line, length + 1);
  (void)::write(STDERR_FILENO, text.data(), text.size());
}

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One asynchronous write on an endpoint file. FunctionFS gives each one a USB request of its own
// that io_cancel dequeues; an interrupted synchronous write is not dependable for that (its shared
// request could still reach the host after the write had returned).
class AsyncWriter {
 public:
  AsyncWriter() {
    if (syscall(SYS_io_setup, 1, &context_) != 0) context_ = 0;
  }
  ~AsyncWriter() {
    if (context_) syscall(SYS_io_destroy, context_);
  }
  bool ready() const { return context_ != 0; }

  // Bytes written, or -errno; `stop` is asked every few milliseconds and cancels the write.
  template <class Stop>
  long write(int fd, const uint8_t* data, size_t size, Stop&& stop) {
    iocb cb{};
    cb.aio_fildes = static_cast<uint32_t>(fd);
    cb.aio_lio_opcode = IOCB_CMD_PWRITE;
    cb.aio_buf = reinterpret_cast<uint64_t>(data);
    cb.aio_nbytes = size;
    iocb* list[1] = {&cb};
    if (syscall(SYS_io_submit, context_, 1, list) != 1) return -errno;
    bool cancelled = false;
    for (;;) {
      io_event event{};
      timespec wait{0, 5 * 1000 * 1000};
      long n = syscall(SYS_io_getevents, context_, 1, 1, &event, cancelled ? nullptr : &wait);
      if (n == 1) return static_cast<long>(event.res);
      if (n < 0 && errno != EINTR) return -errno;
      if (!cancelled && stop()) {
        io_event ignored{};
        syscall(SYS_io_cancel, context_, &cb, &ignored);
        cancelled = true;  // the cancelled write still reports its end as an event
      }
    }
  }

 private:
  aio_context_t context_ = 0;
};

bool writeFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // The UDC file takes "" (a lone newline) to unbind.
  std::string line = text + "\n";
  bool ok = ::write(fd, line.data(), line.size()) >= 0;
  ::close(fd);
  return ok;
}

unsigned long hexField(std::string_view text, size_t offset, size_t width, bool& ok) {
  if (text.size() < offset + width) {
    ok = false;
    return 0;
  }
  std::string field(text.substr(offset, width));
  char* end = nullptr;
  unsigned long v = std::strtoul(field.c_str(), &end, 16);
  ok = ok && end == field.c_str() + field.size();
  return v;
}

void installTestCommands(zyl::sim::Instrument& instrument) {
  instrument.on("ZR", [](CommandContext& c) {
    bool ok = true;
    size_t n = hexField(c.args(), 0, 8, ok);
    if (!ok || n > kInMessageSize) return c.refuse();
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = zyl::gadget::payloadByte(i);
    c.reply(data);
  });
  instrument.on("ZX", [](CommandContext& c) {
    std::string text(c.args());
    for (char& ch : text)
      if (ch == '~') ch = 0;
    c.reply(std::string_view(text));
  });
  instrument.on("ZL", [](CommandContext& c) {
    bool ok = true;
    unsigned long ms = hexField(c.args(), 0, 4, ok);
    if (!ok) return c.refuse();
    c.push(zyl::sim::kCommandIn, c.args().substr(4), c.now() + std::chrono::milliseconds(ms));
  });
  instrument.on("ZS", [](CommandContext& c) {
    bool ok = true;
    unsigned long period = hexField(c.args(), 0, 4, ok);
    unsigned long count = hexField(c.args(), 4, 4, ok);
    if (!ok || (count > 0 && period == 0)) return c.refuse();
    if (count == 0) {
      c.setStreamSource(zyl::sim::kStatusIn, {});
      return c.ack();
    }
    struct Stream {
      TimePoint start;
      std::chrono::milliseconds period;
      uint32_t count, next = 0;
    };
    auto s = std::make_shared<Stream>(
        Stream{c.now(), std::chrono::milliseconds(period), static_cast<uint32_t>(count)});
    c.setStreamSource(zyl::sim::kStatusIn, [s](FirmwareContext& f, TimePoint now) {
      while (s->next < s->count && s->start + s->period * s->next <= now) {
        f.push(zyl::sim::kStatusIn, zyl::gadget::statusFrame(s->next));
        ++s->next;
      }
      return s->next < s->count ? s->start + s->period * s->next : TimePoint::max();
    });
    c.ack();
  });
  instrument.on("ZC", [](CommandContext& c) {
    bool ok = true;
    size_t n = hexField(c.args(), 0, 8, ok);
    if (!ok || n > kInMessageSize || !c.hasEndpoint(zyl::sim::kScanIn)) return c.refuse();
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = zyl::gadget::payloadByte(i);
    c.push(zyl::sim::kScanIn, data);
    c.ack();
  });
}

struct Options {
  std::string ffs, udcFile, udc, ready;
  bool trace = false;
  zyl::sim::InstrumentOptions instrument;
};

class Gadget {
 public:
  explicit Gadget(const Options& options)
      : options_(options), instrument_(std::make_shared<zyl::sim::Instrument>(options.instrument)) {
    installTestCommands(*instrument_);
    // Until the host configures the device the instrument is not on the bus.
    instrument_->unplug();
  }

  bool start() {
    ep0_ = ::open((options_.ffs + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) return fail("open ep0");
    const int bulkIn = options_.instrument.bulkInEndpoints;
    std::vector<uint8_t> descriptors = zyl::gadget::descriptorBlock(bulkIn);
    if (!writeAll(ep0_, descriptors.data(), descriptors.size())) return fail("write descriptors");
    std::vector<uint8_t> strings = zyl::gadget::stringBlock("zyl instrument");
    if (!writeAll(ep0_, strings.data(), strings.size())) return fail("write strings");

    // FunctionFS names the endpoint files ep1, ep2, ... in descriptor order.
    for (int i = 0; i < 1 + bulkIn; ++i) {
      std::string path = options_.ffs + "/ep" + std::to_string(i + 1);
      int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) return fail(path.c_str());
      if (i == 0) {
        out_ = fd;
      } else {
        auto pipe = std::make_unique<InPipe>();
        pipe->fd = fd;
        pipe->simAddress = zyl::gadget::kRequestedAddresses[i];
        in_.push_back(std::move(pipe));
      }
    }

    std::thread(&Gadget::serveOut, this).detach();
    for (auto& pipe : in_) {
      InPipe* p = pipe.get();
      std::thread(&Gadget::serveIn, this, p).detach();
    }
    if (!options_.ready.empty()) writeFile(options_.ready, "ready");
    return true;
  }

  // Serves ep0 until it fails.
  void run() {
    usb_functionfs_event events[4];
    for (;;) {
      ssize_t n = ::read(ep0_, events, sizeof events);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fail("read ep0");
        return;
      }
      for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) handle(events[i]);
    }
  }

 private:
  struct InPipe {
    int fd = -1;
    uint8_t simAddress = 0;
    std::mutex reading;             // held while a message is taken from the simulator
    std::atomic<uint64_t> held{0};  // epoch + 1 of the message being written, 0 when none
  };

  bool fail(const char* what) {
    say("%s failed: %s", what, std::strerror(errno));
    return false;
  }

  std::shared_ptr<zyl::usb::UsbHandle> handle() {
    std::lock_guard lock(handleLock_);
    return handle_;
  }

  void handle(const usb_functionfs_event& event) {
    switch (event.type) {
      case FUNCTIONFS_ENABLE:
        connect();
        break;
      case FUNCTIONFS_DISABLE:
      case FUNCTIONFS_UNBIND:
        disconnect();
        break;
      case FUNCTIONFS_SETUP:
        setup(event.u.setup);
        break;
      default:
        break;
    }
  }

  void connect() {
    invalidate([&] {
      instrument_->replug();
      std::shared_ptr<zyl::usb::UsbHandle> fresh = instrument_->open();
      std::lock_guard lock(handleLock_);
      handle_ = std::move(fresh);
    });
    say("configured");
  }

  void disconnect() {
    invalidate([&] {
      {
        std::lock_guard lock(handleLock_);
        handle_.reset();
      }
      instrument_->unplug();
    });
  }

  // Runs `change` while no IN thread is taking a message from the simulator, then waits until every
  // IN thread dropped what it took before: after a flush, an unplug or a replug, nothing the
  // instrument queued earlier may reach the host. An IN thread whose write is pending cancels it.
  template <class F>
  void invalidate(F&& change) {
    invalidating_ = true;
    std::vector<std::unique_lock<std::mutex>> locks;
    for (auto& pipe : in_) locks.emplace_back(pipe->reading);
    // Only now: a message taken before the lock carries the old epoch, one taken after it the new.
    uint64_t epoch = ++epoch_;
    change();
    locks.clear();
    invalidating_ = false;
    for (auto& pipe : in_) {
      int tries = 0;
      for (; tries < 2000; ++tries) {
        uint64_t held = pipe->held.load();
        if (held == 0 || held > epoch) break;
        std::this_thread::sleep_for(1ms);
      }
      if (options_.trace)
        say("invalidate %lu: IN 0x%02x held %lu, waited %d ms", static_cast<unsigned long>(epoch),
            pipe->simAddress, static_cast<unsigned long>(pipe->held.load()), tries);
    }
  }

  void setup(const usb_ctrlrequest& request) {
    if (options_.trace)
      say("setup %02x %02x value %04x index %04x length %u", request.bRequestType, request.bRequest,
          request.wValue, request.wIndex, request.wLength);
    const bool vendorOut = (request.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR &&
                           !(request.bRequestType & USB_DIR_IN) && request.wLength == 0;
    if (vendorOut && request.bRequest == kVendorClearBuffers) {
      invalidate([&] {
        if (auto h = handle()) h->vendorRequest(kVendorClearBuffers, 0, 0, 1000);
      });
      ack();
      return;
    }
    if (vendorOut && request.bRequest == kVendorRenumerate) {
      ack();
      renumerate();
      return;
    }
    // Anything else is refused the USB way: a stall, by I/O in the wrong direction.
    if (request.bRequestType & USB_DIR_IN)
      (void)::read(ep0_, nullptr, 0);
    else
      (void)::write(ep0_, nullptr, 0);
  }

  void ack() {
    if (::read(ep0_, nullptr, 0) < 0) fail("status stage");
  }

  void renumerate() {
    if (options_.udcFile.empty() || options_.udc.empty()) {
      // No way off the bus: re-enumerate inside the simulator, as its own back end does.
      if (auto h = handle()) h->vendorRequest(kVendorRenumerate, 0, 0, 1000);
      connect();
      return;
    }
    // Not on this thread: unbinding waits for ep0's reader to take the events it causes.
    std::thread([udcFile = options_.udcFile, udc = options_.udc] {
      std::this_thread::sleep_for(20ms);  // let the host see its request complete first
      if (!writeFile(udcFile, "")) say("unbind failed: %s", std::strerror(errno));
      std::this_thread::sleep_for(100ms);
      if (!writeFile(udcFile, udc)) say("bind failed: %s", std::strerror(errno));
    }).detach();
  }

  void serveOut() {
    std::vector<uint8_t> buffer(kOutBufferSize);
    for (;;) {
      // One read is one transfer: FunctionFS completes it at the host's short packet.
      ssize_t n = ::read(out_, buffer.data(), buffer.size());
      if (n < 0) {
        // ESHUTDOWN: the function was disabled under the read; the next read waits for it.
        if (errno != EINTR && errno != ESHUTDOWN) {
          fail("read OUT endpoint");
          std::this_thread::sleep_for(10ms);
        }
        continue;
      }
      long length = n;
      if (options_.trace)
        say("OUT: %ld bytes \"%.*s\"", length, static_cast<int>(std::min(length, 20L)),
            reinterpret_cast<char*>(buffer.data()));
      if (auto h = handle()) h->bulkTransfer(zyl::sim::kCommandOut, buffer.data(), length, 1000);
    }
  }

  void serveIn(InPipe* pipe) {
    std::vector<uint8_t> buffer(kInMessageSize);
    AsyncWriter writer;
    if (!writer.ready()) {
      fail("io_setup");
      return;
    }
    for (;;) {
      uint64_t epoch = 0;
      long length = 0;
      bool got = false;
      while (invalidating_) std::this_thread::sleep_for(1ms);
      {
        std::lock_guard lock(pipe->reading);
        epoch = epoch_.load();
        if (auto h = handle()) {
          length = static_cast<long>(buffer.size());
          got = h->bulkTransfer(pipe->simAddress, buffer.data(), length, kInPollMs) ==
                zyl::usb::TransferResult::ok;
          if (got) pipe->held = epoch + 1;
        }
      }
      if (!got) {
        if (!handle()) std::this_thread::sleep_for(5ms);
        continue;
      }
      if (options_.trace)
        say("IN 0x%02x: %ld bytes \"%.*s\"%s", pipe->simAddress, length,
            static_cast<int>(std::min(length, 20L)), reinterpret_cast<char*>(buffer.data()),
            epoch_.load() == epoch ? "" : " dropped");
      if (epoch_.load() == epoch)
        send(pipe, writer, buffer.data(), static_cast<size_t>(length), epoch);
      pipe->held = 0;
    }
  }

  // Writes one message as one transfer. FunctionFS ends each write with a short packet only if
  // it is one, so a message that fills its last packet gets a zero-length packet of its own.
  void send(InPipe* pipe, AsyncWriter& writer, const uint8_t* data, size_t size, uint64_t epoch) {
    usb_endpoint_descriptor desc{};
    uint16_t packet = 512;
    if (::ioctl(pipe->fd, FUNCTIONFS_ENDPOINT_DESC, &desc) == 0 && desc.wMaxPacketSize)
      packet = static_cast<uint16_t>(desc.wMaxPacketSize & 0x7FF);
    auto stale = [&] { return epoch_.load() != epoch; };
    size_t done = 0;
    bool zeroLengthPacket = size % packet == 0;
    while (done < size || zeroLengthPacket) {
      size_t chunk = std::min(kWriteChunk, size - done);
      if (chunk == 0) zeroLengthPacket = false;
      long n = writer.write(pipe->fd, data + done, chunk, stale);
      if (n < 0) {
        // Cancelled (flushed, see invalidate) or ESHUTDOWN (the host went away): the rest of the
        // message is gone, as it would be from the FX2's FIFO.
        if (options_.trace) say("IN 0x%02x: write ended: %s", pipe->simAddress, strerror(-n));
        return;
      }
      done += static_cast<size_t>(n);
      if (options_.trace) say("IN 0x%02x: wrote %ld", pipe->simAddress, n);
      if (stale()) return;
    }
  }

  const Options options_;
  std::shared_ptr<zyl::sim::Instrument> instrument_;
  int ep0_ = -1, out_ = -1;
  std::vector<std::unique_ptr<InPipe>> in_;
  std::mutex handleLock_;
  std::shared_ptr<zyl::usb::UsbHandle> handle_;
  std::atomic<uint64_t> epoch_{0};
  std::atomic<bool> invalidating_{false};
};

int usage() {
  std::fputs(
      "usage: zyl_gadget --ffs DIR [--udc-file PATH --udc NAME] [--ready FILE]\n"
      "                  [--firmware VERSION] [--bulk-in 1|2|3]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    std::string value = argv[++i];
    if (arg == "--ffs")
      options.ffs = value;
    else if (arg == "--udc-file")
      options.udcFile = value;
    else if (arg == "--udc")
      options.udc = value;
    else if (arg == "--trace")
      options.trace = value == "1";
    else if (arg == "--ready")
      options.ready = value;
    else if (arg == "--firmware")
      options.instrument.firmwareVersion = value;
    else if (arg == "--bulk-in" && (value == "1" || value == "2" || value == "3"))
      options.instrument.bulkInEndpoints = value[0] - '0';
    else
      return usage();
  }
  if (options.ffs.empty()) return usage();

  Gadget gadget(options);
  if (!gadget.start()) return 1;
  gadget.run();
  return 1;
}
