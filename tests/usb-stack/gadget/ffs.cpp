#include "tests/usb-stack/gadget/ffs.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

namespace zyl::gadget {

namespace {

// FunctionFS wants every multi-byte field little-endian.
void le16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void le32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void interfaceAndEndpoints(std::vector<uint8_t>& out, int bulkIn, uint16_t maxPacket) {
  out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0,
                         static_cast<uint8_t>(1 + bulkIn), USB_CLASS_VENDOR_SPEC, 0, 0, 1});
  for (int i = 0; i < 1 + bulkIn; ++i) {
    out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, kRequestedAddresses[i],
                           USB_ENDPOINT_XFER_BULK});
    le16(out, maxPacket);
    out.push_back(0);  // bInterval
  }
}

}  // namespace

std::vector<uint8_t> descriptorBlock(int bulkIn) {
  std::vector<uint8_t> out;
  le32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  le32(out, 0);  // length, patched below
  le32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
  const uint32_t count = static_cast<uint32_t>(2 + bulkIn);  // interface + endpoints
  le32(out, count);                                          // full speed
  le32(out, count);                                          // high speed
  interfaceAndEndpoints(out, bulkIn, 64);
  interfaceAndEndpoints(out, bulkIn, 512);
  const uint32_t length = static_cast<uint32_t>(out.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(length >> (8 * i));
  return out;
}

std::vector<uint8_t> stringBlock(const std::string& interfaceName) {
  std::vector<uint8_t> out;
  le32(out, FUNCTIONFS_STRINGS_MAGIC);
  le32(out, 0);  // length, patched below
  le32(out, 1);  // strings per language
  le32(out, 1);  // languages
  le16(out, 0x0409);
  out.insert(out.end(), interfaceName.begin(), interfaceName.end());
  out.push_back(0);
  const uint32_t length = static_cast<uint32_t>(out.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(length >> (8 * i));
  return out;
}

}  // namespace zyl::gadget
