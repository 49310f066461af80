// The library's command and scan pipes against plain libusb on a real kernel USB stack, in the
// same run and on the same gadget endpoints: run inside the virtual machine of
// `tests/usb-stack/run --bench`, where zyl_gadget is the instrument. Each figure is the best of
// three rounds (the machine is emulated and noisy), library and libusb rounds taking turns:
//   round trip  "-1B05" written and its reply read (ZylUSBExecuteCommand / two bulk transfers)
//   command     64 KiB data replies on the command pipe ("-1BZR")
//   scan        4 MiB on the scan pipe ("-1BZC", then ZylUSBGetScanData / one bulk transfer)
// Prints one line per figure, "zyl-usb-bench NAME library X UNIT libusb Y UNIT ratio R", the ratio
// being library / libusb (throughput: at least 0.95 wanted; latency: at most 1.10).
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "tests/usb-stack/gadget/test_commands.h"
#include "zyl/ZylInterface.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 200;
constexpr int kCommandReplies = 40;
constexpr long kCommandReplyBytes = 65536;
constexpr int kScans = 8;
constexpr long kScanBytes = 4 << 20;
constexpr char kVersionCommand[] = "-1B05";
constexpr char kCommandReply[] = "-1BZR00010000";
constexpr char kScanCommand[] = "-1BZC00400000";

// One way of moving data: each call runs one exchange and says whether it was whole.
struct Pipes {
  std::function<bool()> roundTrip, commandReply, scan;
};

// Seconds for `n` calls of `f`; negative when one failed.
double timed(int n, const std::function<bool()>& f) {
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i)
    if (!f()) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool isPayload(const std::vector<unsigned char>& data, long length) {
  for (long i = 0; i < length; i += 4099)
    if (data[static_cast<size_t>(i)] != zyl::gadget::payloadByte(static_cast<size_t>(i)))
      return false;
  return true;
}

class Library {
 public:
  Library() : z_("/tmp"), buffer_(8 << 20) {}
  // Under emulation the connection's 5 ms flush read can miss a reply and leave the pipe one
  // reply behind (the state then stays CommConnected): a marker command puts it back in step.
  bool connected() {
    if (z_.GetCommunicationState() < CommConnected || z_.clearScanPipe() != 0) return false;
    unsigned char marker[] = "-1BZXsync";
    long length = sizeof marker - 1;
    if (z_.ZylUSBSendData(marker, length, 2000) != 0) return false;
    for (int reads = 0; reads < 16; ++reads) {
      length = 1 << 20;
      if (z_.ZylUSBGetData(buffer_.data(), length, 2000) != 0) return false;
      if (length == 4 && std::memcmp(buffer_.data(), "sync", 4) == 0) return true;
    }
    return false;
  }
  Pipes pipes() {
    return {[this] {
              unsigned char reply[80];
              long length = sizeof reply;
              return z_.ZylUSBExecuteCommand(kVersionCommand, reply, length, false, 2000, 2000) ==
                     0;
            },
            [this] {
              long length = kCommandReplyBytes + 1024;  // ends with the reply's zero-length packet
              return z_.ZylUSBExecuteCommand(kCommandReply, buffer_.data(), length, false, 2000,
                                             5000) == 0 &&
                     length == kCommandReplyBytes;
            },
            [this] {
              long length = static_cast<long>(buffer_.size());
              return z_.ZylUSBExecuteCommand(kScanCommand, nullptr, ZylInterface::GlDummy, false,
                                             2000, 2000) == 0 &&
                     z_.ZylUSBGetScanData(buffer_.data(), length, 5000) == 0 &&
                     length == kScanBytes && isPayload(buffer_, length);
            }};
  }

 private:
  ZylInterface z_;
  std::vector<unsigned char> buffer_;
};

class PlainLibusb {
 public:
  PlainLibusb() : buffer_(8 << 20) {
    if (libusb_init(&context_) != 0) return;
    handle_ = libusb_open_device_with_vid_pid(context_, 0x04B4, 0x1004);
    libusb_config_descriptor* config = nullptr;
    if (!handle_ || libusb_claim_interface(handle_, 0) != 0 ||
        libusb_get_active_config_descriptor(libusb_get_device(handle_), &config) != 0)
      return;
    // The first bulk OUT, then the bulk INs in the order listed: command, status, scan.
    std::vector<uint8_t> in;
    const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
    for (int i = 0; i < interface.bNumEndpoints; ++i) {
      const libusb_endpoint_descriptor& e = interface.endpoint[i];
      if ((e.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      if (e.bEndpointAddress & 0x80)
        in.push_back(e.bEndpointAddress);
      else if (!out_)
        out_ = e.bEndpointAddress;
    }
    libusb_free_config_descriptor(config);
    if (in.size() >= 3) commandIn_ = in[0], scanIn_ = in[2];
  }
  ~PlainLibusb() {
    if (handle_) libusb_release_interface(handle_, 0), libusb_close(handle_);
    if (context_) libusb_exit(context_);
  }
  // In step: whatever an earlier user of the pipe left unread goes before the marker's reply.
  bool connected() {
    if (!out_ || !scanIn_ || !send("-1BZXsync")) return false;
    for (int reads = 0, got = 0; reads < 16; ++reads) {
      if (!bulk(commandIn_, buffer_.data(), 1 << 20, got, 2000)) return false;
      if (got == 4 && std::memcmp(buffer_.data(), "sync", 4) == 0) return true;
    }
    return false;
  }

  Pipes pipes() {
    return {[this] {
              unsigned char reply[80];
              int got = 0;
              return send(kVersionCommand) && bulk(commandIn_, reply, sizeof reply, got, 2000);
            },
            [this] {
              int got = 0;
              return send(kCommandReply) &&
                     bulk(commandIn_, buffer_.data(), kCommandReplyBytes + 1024, got, 5000) &&
                     got == kCommandReplyBytes;
            },
            [this] {
              unsigned char ack[80];
              int got = 0;
              return send(kScanCommand) && bulk(commandIn_, ack, sizeof ack, got, 2000) &&
                     bulk(scanIn_, buffer_.data(), static_cast<int>(buffer_.size()), got, 5500) &&
                     got == kScanBytes && isPayload(buffer_, got);
            }};
  }

 private:
  bool bulk(uint8_t endpoint, unsigned char* data, int capacity, int& got, unsigned timeoutMs) {
    return libusb_bulk_transfer(handle_, endpoint, data, capacity, &got, timeoutMs) == 0;
  }
  bool send(const char* command) {
    int sent = 0;
    const int length = static_cast<int>(std::strlen(command));
    return bulk(out_, reinterpret_cast<unsigned char*>(const_cast<char*>(command)), length, sent,
                2000) &&
           sent == length;
  }

  libusb_context* context_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
  uint8_t out_ = 0, commandIn_ = 0, scanIn_ = 0;
  std::vector<unsigned char> buffer_;
};

struct Best {
  double library = 1e30, libusb = 1e30;
};

}  // namespace

int main() {
  Best roundTrip, command, scan;
  for (int round = 0; round < 3; ++round) {
    for (const bool library : {true, false}) {
      // One of the two holds the interface at a time; each is set up outside the timing.
      std::unique_ptr<Library> lib;
      std::unique_ptr<PlainLibusb> plain;
      Pipes pipes;
      if (library) {
        lib = std::make_unique<Library>();
        if (!lib->connected()) return std::printf("zyl-usb-bench: library did not connect\n"), 1;
        pipes = lib->pipes();
      } else {
        plain = std::make_unique<PlainLibusb>();
        if (!plain->connected()) return std::printf("zyl-usb-bench: libusb did not open\n"), 1;
        pipes = plain->pipes();
      }
      pipes.roundTrip();  // warm up: the first exchange sets up what later ones reuse
      const double t[] = {timed(kRoundTrips, pipes.roundTrip),
                          timed(kCommandReplies, pipes.commandReply), timed(kScans, pipes.scan)};
      if (*std::min_element(std::begin(t), std::end(t)) < 0)
        return std::printf("zyl-usb-bench: a %s exchange failed\n", library ? "library" : "libusb"),
               1;
      Best* best[] = {&roundTrip, &command, &scan};
      for (int i = 0; i < 3; ++i) {
        double& slot = library ? best[i]->library : best[i]->libusb;
        slot = std::min(slot, t[i]);
      }
    }
  }
  const double us = 1e6 / kRoundTrips;
  std::printf("zyl-usb-bench round-trip library %.0f us libusb %.0f us ratio %.3f\n",
              roundTrip.library * us, roundTrip.libusb * us, roundTrip.library / roundTrip.libusb);
  const double commandMB = kCommandReplies * kCommandReplyBytes / 1e6;
  std::printf("zyl-usb-bench command-pipe library %.2f MB/s libusb %.2f MB/s ratio %.3f\n",
              commandMB / command.library, commandMB / command.libusb,
              command.libusb / command.library);
  const double scanMB = kScans * kScanBytes / 1e6;
  std::printf("zyl-usb-bench scan-pipe library %.2f MB/s libusb %.2f MB/s ratio %.3f\n",
              scanMB / scan.library, scanMB / scan.libusb, scan.libusb / scan.library);
  return 0;
}
