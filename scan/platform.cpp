// Movable memory blocks for scan data. The handle is the address of the block's header; the bytes
// follow it. A tag in the header tells a live block from anything else, and freeing clears it, so
// a stale or foreign handle is refused rather than written through.
#include "zyl/platform.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zyl {
namespace {

constexpr uint64_t kLiveTag = 0x7A796C2D626C6F6Bull;  // "zyl-blok"

struct alignas(std::max_align_t) BlockHeader {
  uint64_t tag;
  std::size_t size;
  std::atomic<uint32_t> locks;
};

BlockHeader* live(HGLOBAL block) {
  if (!block || reinterpret_cast<uintptr_t>(block) % alignof(BlockHeader) != 0) return nullptr;
  auto* header = static_cast<BlockHeader*>(block);
  return header->tag == kLiveTag ? header : nullptr;
}

}  // namespace

HGLOBAL GlobalAlloc(unsigned int flags, std::size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  void* memory = std::malloc(sizeof(BlockHeader) + (bytes ? bytes : 1));
  if (!memory) return nullptr;
  auto* header = new (memory) BlockHeader{kLiveTag, bytes, {0}};
  if (flags & GMEM_ZEROINIT) std::memset(static_cast<void*>(header + 1), 0, bytes);
  return header;
}

void* GlobalLock(HGLOBAL block) {
  BlockHeader* header = live(block);
  if (!header) return nullptr;
  header->locks.fetch_add(1, std::memory_order_acq_rel);
  return header + 1;
}

bool GlobalUnlock(HGLOBAL block) {
  BlockHeader* header = live(block);
  if (!header) return false;
  uint32_t locks = header->locks.load(std::memory_order_acquire);
  while (locks > 0 &&
         !header->locks.compare_exchange_weak(locks, locks - 1, std::memory_order_acq_rel)) {
  }
  return locks > 1;
}

std::size_t GlobalSize(HGLOBAL block) {
  BlockHeader* header = live(block);
  return header ? header->size : 0;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  BlockHeader* header = live(block);
  if (!header) return block;
  header->tag = 0;
  header->~BlockHeader();
  std::free(header);
  return nullptr;
}

}  // namespace zyl
