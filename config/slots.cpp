// The default tune and ion-source settings: four slot positions per kind in the image of flash
// region 1, filled and read on the host side; only Load and Save move the image.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "config/tune/forms.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr size_t kSimplifiedTuneSlot = 4096;
constexpr size_t kFullTuneSlot = 10240;
constexpr size_t kIonSourceSlot = 1024;

struct FreeText {
  void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, FreeText>;

// Stores `text` in a slot, zero-filled to its end; false (slot untouched) when it does not fit.
// A text of exactly the slot's size fills it with no terminating zero.
bool fillSlot(unsigned char* slot, size_t size, const char* text) {
  if (text == nullptr) return false;
  const size_t length = std::strlen(text);
  if (length > size) return false;
  std::memcpy(slot, text, length);
  std::memset(slot + length, 0, size - length);
  return true;
}

// Copies at most `limit` - 1 bytes of `text` into `out` and ends it with a zero, so that a host
// always gets a C string. A cut falls between two UTF-8 sequences, never inside one.
void copyOut(char* out, size_t limit, const char* text) {
  size_t length = std::strlen(text);
  if (length >= limit) {
    length = limit - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// One document kind rewritten with `settings` into memory the caller releases with free().
char* rewriteXML(zyl::tune::Kind kind, const char* xml, const zyl::xml::WriterSettings& settings) {
  try {
    std::string text;
    const size_t length = xml == nullptr ? 0 : std::strlen(xml);
    return zyl::tune::rewrite(kind, xml, length, settings, text) ? zyl::tune::handOut(text)
                                                                 : nullptr;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

char* ZylInterface::simplifyTuneXML(const char* xml, bool full) {
  try {
    std::string text;
    return zyl::tune::simplifyTune(xml, full, text) ? zyl::tune::handOut(text) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

char* ZylInterface::simplifyIonXML(const char* xml) {
  return rewriteXML(zyl::tune::Kind::IonSource, xml, zyl::tune::kIonSourceForm);
}

char* ZylInterface::formatTuneXML(const char* xml) {
  return rewriteXML(zyl::tune::Kind::Tune, xml, zyl::tune::kFormattedOutput);
}

char* ZylInterface::formatIonXML(const char* xml) {
  return rewriteXML(zyl::tune::Kind::IonSource, xml, zyl::tune::kFormattedOutput);
}

char* ZylInterface::FormatTuneXML(const char* xml) {
  return formatTuneXML(xml);
}

char* ZylInterface::FormatIonXML(const char* xml) {
  return formatIonXML(xml);
}

unsigned int ZylInterface::SetDefaultTuneParameters(char* xml, bool groupA, bool alternate) {
  unsigned char* simplifiedSlot = GetFlashAddr(false, groupA, alternate, false);
  unsigned char* fullSlot = GetFlashAddr(false, groupA, alternate, true);
  if (xml == nullptr || xml[0] == '\0') {
    std::memset(simplifiedSlot, 0, kSimplifiedTuneSlot);
    std::memset(fullSlot, 0, kFullTuneSlot);
    return ZYL_SUCCESS;
  }
  const OwnedText simplified(simplifyTuneXML(xml, false));
  if (!fillSlot(simplifiedSlot, kSimplifiedTuneSlot, simplified.get())) return ZYL_CONFIG_REFUSED;
  // From here a refusal leaves the new simplified form beside the old full one.
  const OwnedText full(simplifyTuneXML(xml, true));
  if (!fillSlot(fullSlot, kFullTuneSlot, full.get())) return ZYL_CONFIG_REFUSED;
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::SetDefaultIonSourceOptimization(char* xml, bool groupA, bool alternate) {
  unsigned char* slot = GetFlashAddr(true, groupA, alternate, false);
  if (xml == nullptr || xml[0] == '\0') {
    std::memset(slot, 0, kIonSourceSlot);
    return ZYL_SUCCESS;
  }
  const OwnedText stored(simplifyIonXML(xml));
  return fillSlot(slot, kIonSourceSlot, stored.get()) ? ZYL_SUCCESS : ZYL_CONFIG_REFUSED;
}

bool ZylInterface::readSlot(char* out, size_t limit, const unsigned char* slot, size_t size,
                            bool ionSource) {
  const std::string_view stored = imageText(slot, size);
  if (stored.substr(0, 5) != "<?xml") return false;
  try {
    // The slot may be full to its end without a terminating zero: format a bounded copy.
    const std::string text(stored);
    const OwnedText formatted(ionSource ? formatIonXML(text.c_str()) : formatTuneXML(text.c_str()));
    if (formatted) copyOut(out, limit, formatted.get());
  } catch (...) {
  }
  return true;
}

bool ZylInterface::GetDefaultTuneParameters(char* out, bool groupA, bool alternate) {
  if (out == nullptr) return false;
  out[0] = '\0';
  if (!settingsLoaded && LoadFromSecondFlash() != ZYL_SUCCESS) return false;
  if (!readSlot(out, kFullTuneSlot, GetFlashAddr(false, groupA, alternate, true), kFullTuneSlot,
                false)) {
    readSlot(out, kSimplifiedTuneSlot, GetFlashAddr(false, groupA, alternate, false),
             kSimplifiedTuneSlot, false);
  }
  return true;
}

bool ZylInterface::GetDefaultIonSourceOptimization(char* out, bool groupA, bool alternate) {
  if (out == nullptr) return false;
  out[0] = '\0';
  if (!settingsLoaded && LoadFromSecondFlash() != ZYL_SUCCESS) return false;
  readSlot(out, kIonSourceSlot, GetFlashAddr(true, groupA, alternate, false), kIonSourceSlot, true);
  return true;
}

unsigned int ZylInterface::LoadDefaultTuneIonSettings() {
  return settingsLoaded ? ZYL_SUCCESS : LoadFromSecondFlash();
}

unsigned int ZylInterface::SaveDefaultTuneIonSettings() {
  return SaveToSecondFlash();
}

unsigned int ZylInterface::LoadFromSecondFlash() {
  return hasSecondFlash ? ReadFlash(secondFlashImage, 1) : ZYL_CONFIG_REFUSED;
}

unsigned int ZylInterface::SaveToSecondFlash() {
  return hasSecondFlash ? WriteFlash(secondFlashImage, 1) : ZYL_CONFIG_REFUSED;
}
