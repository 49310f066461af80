// What the gadget writes to FunctionFS's ep0 before the function can be bound: the descriptors of
// the instrument's interface at full and high speed, and its strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zyl::gadget {

// The interface as the FX2 presents it: one bulk OUT and `bulkIn` (2 or 3) bulk IN endpoints, in
// this order. The addresses are requests only; the UDC assigns the real ones, and the host
// recognises the layout by order.
inline constexpr uint8_t kRequestedAddresses[] = {0x02, 0x86, 0x88, 0x84};

// The v2 descriptor block. Setup requests to the device (not only to the interface) are routed to
// us, because the instrument's vendor requests have the device as recipient.
std::vector<uint8_t> descriptorBlock(int bulkIn);
std::vector<uint8_t> stringBlock(const std::string& interfaceName);

}  // namespace zyl::gadget
