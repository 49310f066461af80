// Sizes and result codes that the library, its hosts and the simulated instrument share.
#pragma once

#include <cstddef>

// The largest scan reply: a scan block must hold this many bytes.
inline constexpr std::size_t ZYL_SCAN_REPLY_BYTES = 7340032;
// One flash region: the configuration image, the second region with the defaults, a flash
// transfer.
inline constexpr std::size_t ZYL_FLASH_REGION_BYTES = 65536;

// Result of a configuration or default-tune operation that is refused or not available (the
// configuration subsystem's own code, beside the status codes of ZylInterface.h).
inline constexpr unsigned int ZYL_CONFIG_REFUSED = 1;
