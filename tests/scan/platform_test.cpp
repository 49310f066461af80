// Movable memory blocks: what a host hands a scan, and what the library must refuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "zyl/platform.h"

namespace zyl {
namespace {

TEST(PlatformBlock, LockCountsSizeAndRefusalOfForeignPointers) {
  HGLOBAL b = GlobalAlloc(GHND, 1000);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GlobalSize(b), 1000u);
  auto* p = static_cast<unsigned char*>(GlobalLock(b));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(p[i], 0) << i;
  std::memset(p, 0xAB, 1000);
  // Locked twice: the first unlock leaves it locked, the second releases it; the address stays.
  EXPECT_EQ(GlobalLock(b), p);
  EXPECT_TRUE(GlobalUnlock(b));
  EXPECT_FALSE(GlobalUnlock(b));
  EXPECT_FALSE(GlobalUnlock(b));  // unlocking an unlocked block does not wrap the count
  EXPECT_EQ(GlobalLock(b), p);
  EXPECT_FALSE(GlobalUnlock(b));

  alignas(std::max_align_t) unsigned char foreign[64] = {};
  EXPECT_EQ(GlobalLock(foreign), nullptr);
  EXPECT_EQ(GlobalLock(nullptr), nullptr);
  EXPECT_EQ(GlobalLock(foreign + 1), nullptr);
  EXPECT_EQ(GlobalSize(foreign), 0u);
  EXPECT_FALSE(GlobalUnlock(foreign));
  EXPECT_EQ(GlobalFree(foreign), foreign);
  // A pointer into a block's bytes is not the block.
  EXPECT_EQ(GlobalLock(p), nullptr);

  EXPECT_EQ(GlobalFree(b), nullptr);
  EXPECT_EQ(GlobalLock(b), nullptr);  // stale: refused without reading the freed memory
  EXPECT_EQ(GlobalFree(b), b);

  HGLOBAL empty = GlobalAlloc(GMEM_MOVEABLE, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(GlobalSize(empty), 0u);
  EXPECT_NE(GlobalLock(empty), nullptr);
  EXPECT_EQ(GlobalFree(empty), nullptr);
  EXPECT_EQ(GlobalAlloc(GHND, SIZE_MAX - 8), nullptr);
}

}  // namespace
}  // namespace zyl
