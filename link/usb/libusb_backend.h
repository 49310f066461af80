// The libusb-1.0 back end: the default way to reach a real instrument.
//
// Which devices are instruments: a device matches the ID list (by default the Cypress vendor ID
// 0x04B4 with any product ID) and interface 0, alternate setting 0 of its active configuration
// has at least one bulk OUT and at least one bulk IN endpoint with a non-zero packet size. An
// unprogrammed FX2 or another Cypress part does not pass the second test. A device without a
// second or third bulk IN endpoint is still an instrument: only its status or scan pipe is
// missing, and the operations of that pipe answer 2. A device whose
// interface 0 is bound to a kernel driver is reported and skipped; its driver is never detached.
//
// The environment variable ZYL_USB_IDS, read once when the back end first touches libusb,
// replaces the ID list (see parseUsbIds for its syntax).
//
// Time-outs: a transfer's time-out is our own deadline, never libusb's (whose 0 means "forever").
// A time-out of 0 lets the transfer run for kZeroTimeoutGraceMs only: enough for the host
// controller to move what the device already holds, not enough for the device to produce
// anything new. A vendor request's time-out of 0 becomes kVendorRequestZeroTimeoutMs, because a
// control request cancelled half way leaves the device not knowing whether it was meant, and the
// request cannot be "already there".
//
// Bulk OUT transfers never get a zero-length packet appended, even when their length is a
// multiple of the packet size: the firmware was written against a host stack that sends exactly
// the bytes of one command per transfer, and an FX2 hands every packet that fills its buffer to
// the firmware, so an appended empty packet would reach it as an extra, empty command.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zyl/UsbBackend.h"

namespace zyl::usb {

inline constexpr uint32_t kZeroTimeoutGraceMs = 2;
inline constexpr uint32_t kVendorRequestZeroTimeoutMs = 1000;

// One entry of the recognition list.
struct UsbId {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  bool anyProduct = false;  // matches every product ID of the vendor
  bool operator==(const UsbId&) const = default;
};

struct UsbIdList {
  std::vector<UsbId> ids;
  std::vector<std::string> rejected;  // entries that were not understood, as written
};

// The ID list of ZYL_USB_IDS: entries separated by commas, blanks around them ignored, empty
// entries skipped. An entry is VENDOR:PRODUCT, VENDOR:* or VENDOR (the last two: any product),
// each ID 1 to 4 hexadecimal digits, optionally prefixed by 0x. Entries that do not parse are
// rejected one by one, so a typo in one entry does not lose the others; a text without any valid
// entry gives an empty list, which recognises no device (never silently the default list).
UsbIdList parseUsbIds(std::string_view text);

// The default back end: recognises the IDs of ZYL_USB_IDS, else the Cypress vendor ID.
std::shared_ptr<UsbBackend> makeLibusbBackend();
// A back end that recognises exactly `ids` and ignores ZYL_USB_IDS (for a test bus whose gadget
// has IDs of its own, or a host that knows its instrument's IDs).
std::shared_ptr<UsbBackend> makeLibusbBackend(std::vector<UsbId> ids);

std::vector<UsbId> defaultUsbIds();
bool matchesUsbId(const std::vector<UsbId>& ids, uint16_t vendorId, uint16_t productId);

// Whether an interface setting with these endpoints is an instrument's (see above).
bool isInstrumentLayout(const std::vector<EndpointDescriptor>& endpoints);

// How a transfer ended, from libusb's transfer status (LIBUSB_TRANSFER_*) or, with `error`, from
// a libusb error code (LIBUSB_ERROR_*, say of a failed submission). A transfer that we cancelled
// because its deadline passed ended in a time-out; one cancelled by abortPipe was cancelled.
TransferResult resultOfTransfer(int status, bool deadlinePassed);
TransferResult resultOfError(int error);

// The bytes per (micro)frame of an endpoint from its wMaxPacketSize: bits 0-10 are the packet
// size, bits 11-12 the number of additional transactions per microframe.
uint16_t decodeMaxPacketSize(uint16_t wMaxPacketSize);

}  // namespace zyl::usb
