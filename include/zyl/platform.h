// The few platform types the public interface needs: the movable memory block that receives the
// data of a scan.
//
// A host hands `PerformScan` a block made by `zyl::GlobalAlloc`; the library locks it, copies the
// scan reply into it and unlocks it, as a Windows host does with a global memory handle. Each block
// carries a header in front of its bytes (its size and a lock count), and the library keeps a list
// of the live blocks, so that `GlobalLock` refuses a null handle, a freed block or a pointer to
// memory that was never a block without reading through it. A block never moves: `GlobalLock`
// always gives the same address. The functions live in namespace `zyl`, so they never clash with a
// Windows header.
//
//   zyl::HGLOBAL block = zyl::GlobalAlloc(zyl::GHND, 1 << 20);
//   unsigned int n = 0;
//   z.PerformScan(1000, 60000, 500, block, 0, &n);
//   auto* bytes = static_cast<const uint8_t*>(zyl::GlobalLock(block));  // n points, then trailer
//   ...
//   zyl::GlobalUnlock(block);
//   zyl::GlobalFree(block);
#pragma once

#include <cstddef>

namespace zyl {

// A block's handle, as GlobalAlloc gives it.
using HGLOBAL = void*;

// Flags of GlobalAlloc, as on Windows: blocks never move here, so only GMEM_ZEROINIT matters.
inline constexpr unsigned int GMEM_FIXED = 0x0000;
inline constexpr unsigned int GMEM_MOVEABLE = 0x0002;
inline constexpr unsigned int GMEM_ZEROINIT = 0x0040;
inline constexpr unsigned int GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// All five are thread-safe. A new block of `bytes` bytes (zeroed with GMEM_ZEROINIT), or null when
// memory is short.
HGLOBAL GlobalAlloc(unsigned int flags, std::size_t bytes);
// The block's address, its lock count raised; null when `block` is not a live block.
void* GlobalLock(HGLOBAL block);
// Lowers the lock count; true while the block stays locked, false once it is unlocked (or when
// `block` is not a live block).
bool GlobalUnlock(HGLOBAL block);
// The size the block was allocated with; 0 when `block` is not a live block.
std::size_t GlobalSize(HGLOBAL block);
// Frees the block: null on success, `block` itself when it is not a live block.
HGLOBAL GlobalFree(HGLOBAL block);

}  // namespace zyl
