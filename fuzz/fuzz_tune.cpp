// The default tune and ion-source documents as flash region 1 holds them. The first input byte
// (a digit in the seeds) chooses the slot: bits 0-1 = 0 the full tune slot, 1 the simplified tune
// slot (read when the full one holds no document), 2 or 3 the ion-source slot; bits 2 and 3 its
// position (group A, alternate). The rest of the input fills the slot, cut at the slot's size
// and zero-filled behind, as it comes from the instrument's flash; GetDefaultTuneParameters or
// GetDefaultIonSourceOptimization then formats it into a host buffer of exactly the documented
// size, so that a write beyond it shows. Beyond memory safety it checks that a document handed
// out whole is a fixed point of the formatting: formatted again, it comes back unchanged.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "instrument.h"
#include "support/zyl_test_peer.h"

namespace {

constexpr size_t kFullTuneSlot = 10240;
constexpr size_t kSimplifiedTuneSlot = 4096;
constexpr size_t kIonSourceSlot = 1024;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

// A text cut to its buffer may end inside a construct; only whole documents are checked. A cut
// falls between two UTF-8 sequences, so it leaves at least limit - 4 bytes.
void checkFixedPoint(ZylInterface& z, const char* out, size_t limit, bool ionSource) {
  const size_t length = std::strlen(out);
  if (length == 0 || length + 4 >= limit) return;
  char* again = ionSource ? z.FormatIonXML(out) : z.FormatTuneXML(out);
  if (!again) fail("a document handed out does not read back");
  const bool same = std::strcmp(again, out) == 0;
  std::free(again);
  if (!same) fail("formatting a handed-out document changed it");
}

void fill(unsigned char* slot, size_t slotSize, std::string_view text) {
  const size_t n = std::min(slotSize, text.size());
  if (n > 0) std::memcpy(slot, text.data(), n);
  std::memset(slot + n, 0, slotSize - n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int kind = data[0] & 3;
  const bool groupA = (data[0] & 4) != 0, alternate = (data[0] & 8) != 0;
  const std::string_view input = zyl::fuzz::text(data + 1, size - 1);
  ZylInterface& z = zyl::fuzz::Instrument::get().reset(false, false);
  z.settingsLoaded = true;  // the image stands for what region 1 holds

  if (kind >= 2) {
    fill(ZylTestPeer::getFlashAddr(z, true, groupA, alternate, false), kIonSourceSlot, input);
    const auto out = std::make_unique<char[]>(kIonSourceSlot);
    z.GetDefaultIonSourceOptimization(out.get(), groupA, alternate);
    checkFixedPoint(z, out.get(), kIonSourceSlot, true);
    return 0;
  }
  unsigned char* full = ZylTestPeer::getFlashAddr(z, false, groupA, alternate, true);
  unsigned char* simplified = ZylTestPeer::getFlashAddr(z, false, groupA, alternate, false);
  fill(full, kFullTuneSlot, kind == 0 ? input : std::string_view{});
  fill(simplified, kSimplifiedTuneSlot, kind == 1 ? input : std::string_view{});
  const auto out = std::make_unique<char[]>(kFullTuneSlot);
  z.GetDefaultTuneParameters(out.get(), groupA, alternate);
  // The simplified form is handed out cut to its slot's size, whatever the buffer.
  checkFixedPoint(z, out.get(), kind == 0 ? kFullTuneSlot : kSimplifiedTuneSlot, false);
  return 0;
}
