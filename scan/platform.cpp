// Movable memory blocks for scan data. The handle is the address of the block's header; the bytes
// follow it. Every live block is listed in a registry, and a handle is looked up there before
// anything is read through it, so a stale, foreign or misaligned handle is refused without its
// memory ever being touched (reading a freed block's header to find that out would itself be a
// use after free).
#include "zyl/platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace zyl {
namespace {

struct alignas(std::max_align_t) BlockHeader {
  std::size_t size;
  uint32_t locks;
};

struct Registry {
  std::mutex lock;
  std::unordered_set<HGLOBAL> blocks;
};

// Never destroyed, so a block freed by a static destructor after main still finds it.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// The header of a live block, or null; the caller holds the registry's lock.
BlockHeader* live(Registry& r, HGLOBAL block) {
  return r.blocks.count(block) ? static_cast<BlockHeader*>(block) : nullptr;
}

}  // namespace

HGLOBAL GlobalAlloc(unsigned int flags, std::size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  void* memory = std::malloc(sizeof(BlockHeader) + (bytes ? bytes : 1));
  if (!memory) return nullptr;
  auto* header = new (memory) BlockHeader{bytes, 0};
  if (flags & GMEM_ZEROINIT) std::memset(static_cast<void*>(header + 1), 0, bytes);
  Registry& r = registry();
  try {
    std::lock_guard guard(r.lock);
    r.blocks.insert(header);
  } catch (const std::bad_alloc&) {
    std::free(memory);
    return nullptr;
  }
  return header;
}

void* GlobalLock(HGLOBAL block) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  BlockHeader* header = live(r, block);
  if (!header) return nullptr;
  ++header->locks;
  return header + 1;
}

bool GlobalUnlock(HGLOBAL block) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  BlockHeader* header = live(r, block);
  if (!header || header->locks == 0) return false;
  return --header->locks > 0;
}

std::size_t GlobalSize(HGLOBAL block) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  BlockHeader* header = live(r, block);
  return header ? header->size : 0;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  if (!r.blocks.erase(block)) return block;
  std::free(block);
  return nullptr;
}

}  // namespace zyl
