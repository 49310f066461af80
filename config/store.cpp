// The configuration store: the configuration and volatile records loaded from and saved to flash,
// their XML text, and the typed identity accessors. Which flash features the firmware has is
// decided from its version (identity/generation.cpp) before the records load.
#include <cstring>
#include <string>

#include "config/identity_types.h"
#include "config/xml/writer.h"
#include "link/text.h"
#include "link/wire.h"
#include "zyl/FlashMemory.h"
#include "zyl/VolatileFlashMemory.h"
#include "zyl/ZylInterface.h"

namespace {

using FlashMemory::c_flashMemory;
using zyl::detail::recogniseText;
using zyl::detail::textOf;

constexpr size_t kVolatileSize = 512;
constexpr uint32_t kInitialFrequency = 0x15000;
constexpr uint8_t kInitialMassPot = 0x7F;
constexpr int kHexReadbackDigits = 4;
// What the records are saved as: no declaration, no indentation, no line breaks.
constexpr zyl::xml::WriterSettings kStoredLayout{false, "", ""};

// The leading hexadecimal digits of a stored text (held at UINT32_MAX when larger, as the reply
// reader does), or `fallback` when it has none.
uint32_t leadingHexOr(std::wstring_view text, uint32_t fallback) {
  const auto hex = zyl::detail::leadingHex(text);
  return hex.digits ? hex.value : fallback;
}

// Narrow ASCII text (hex digits) as the wide text the record holds.
std::wstring widened(std::string_view ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

// Every field of the configuration record counts as set, so the next save writes all sixteen.
void markAllSet(c_flashMemory& r) {
  r.set_version(r.get_version());
  r.set_hardwareVersion(r.get_hardwareVersion());
  r.set_frequency(r.get_frequency());
  r.set_massPot(r.get_massPot());
  r.set_sourcePSU(r.get_sourcePSU());
  r.set_lensPSU(r.get_lensPSU());
  r.set_dynodePSU(r.get_dynodePSU());
  r.set_capillaryHeater(r.get_capillaryHeater());
  r.set_desolvationGasHeater(r.get_desolvationGasHeater());
  r.set_apciGasHeater(r.get_apciGasHeater());
  r.set_serialNumber(r.get_serialNumber());
  r.set_qcData(r.get_qcData());
  r.set_piraniType(r.get_piraniType());
  r.set_housingType(r.get_housingType());
  r.set_headAmpType(r.get_headAmpType());
  r.set_rfBoxType(r.get_rfBoxType());
}

// A record's stored form under its root, or false when the writer failed or the text does not
// read back (raw qcData markup can break it): such a text must never reach the flash.
template <class Record>
bool storedText(const Record& record, const char* root, std::string& out) {
  out.clear();
  zyl::xml::Writer writer(out, kStoredLayout);
  if (record.marshal(writer, root) != 0 || writer.error() != 0) return false;
  Record readBack;
  return readBack.unmarshal(out.data(), out.size()) == 0;
}

// The stored text of `value` written through `setter`; 4 for a value outside the type.
template <std::size_t N>
unsigned int setIdentity(c_flashMemory& record, int (c_flashMemory::*setter)(const std::wstring&),
                         const wchar_t* const (&texts)[N], long long value) {
  const wchar_t* text = textOf(texts, value);
  if (!text) return ZYL_INVALID_ARGUMENT;
  (record.*setter)(text);
  return ZYL_SUCCESS;
}

template <std::size_t N>
const wchar_t* nameOf(const wchar_t* const (&texts)[N], long long value) {
  const wchar_t* text = textOf(texts, value);
  return text ? text : L"";
}

}  // namespace

std::string_view ZylInterface::imageText(const unsigned char* image, size_t size) {
  const char* text = reinterpret_cast<const char*>(image);
  return {text, strnlen(text, size)};
}

unsigned int ZylInterface::readFlashMemorySettings() {
  deriveGenerationFlags();
  if (const unsigned int result = LoadFromConfigFlash(); result != ZYL_SUCCESS) return result;
  // Older firmware passes heater readbacks on in its status only where it polls Watlow
  // controllers for all three heaters.
  heaterReadbacksInStatus =
      zyl::detail::compareVersion(firmwareVersion, "VERSION102412", 13) >= 0 &&
      GetCapillaryHC() == HC_WatlowPM3 && GetAPCIGasHC() == HC_WatlowPM3 &&
      GetDesolvationGasHC() == HC_WatlowPM3;
  return LoadFromVolatileFlash();
}

unsigned int ZylInterface::LoadFromConfigFlash() {
  if (!settingsLoaded) {
    if (const unsigned int result = ReadFlash(configFlashImage, 0); result != ZYL_SUCCESS)
      return result;
  }
  const std::string_view text = imageText(configFlashImage, sizeof configFlashImage);
  flashRecord->reset();
  // The document's own faults are not reported: what was not read keeps its initial value, and
  // the next save writes a complete document.
  flashRecord->unmarshal(text.data(), text.size());
  markAllSet(*flashRecord);

  uint16_t readback = 0;
  if (const unsigned int result = SetFreqFact(GetFreqFact(), &readback); result != ZYL_SUCCESS)
    return result;
  SetMassPot(GetMassPot());
  if (!piraniSelectSupported) return ZYL_SUCCESS;
  return sendAcknowledged(GetPiraniType() != Pirani_External ? "-1B0601" : "-1B0600");
}

unsigned int ZylInterface::LoadFromVolatileFlash() {
  if (hasSecondFlash) {
    if (const unsigned int result = ReadFlash(secondFlashImage, 1); result != ZYL_SUCCESS)
      return result;
    const std::string_view text = imageText(secondFlashImage, kVolatileSize);
    volatileRecord->reset();
    if (volatileRecord->unmarshal(text.data(), text.size()) == 0) {
      volatileRecord->set_lastPumpDownTime(volatileRecord->get_lastPumpDownTime());
      return ZYL_SUCCESS;
    }
  }
  // No region for it, or a document that does not read: a fresh one, which flash gets too.
  volatileRecord->set_lastPumpDownTime(0);
  return SaveToVolatileFlash();
}

unsigned int ZylInterface::SaveToConfigFlash() {
  std::string text;
  if (!storedText(*flashRecord, "flashMemory", text)) return ZYL_CONFIG_REFUSED;
  // With its terminating zero the text would not fit the region: refused, nothing changed.
  if (text.size() >= sizeof configFlashImage) return ZYL_CONFIG_REFUSED;
  std::memcpy(configFlashImage, text.data(), text.size());
  std::memset(configFlashImage + text.size(), 0, sizeof configFlashImage - text.size());
  return WriteFlash(configFlashImage, 0);
}

unsigned int ZylInterface::SaveToVolatileFlash() {
  if (!hasSecondFlash) return ZYL_SUCCESS;
  std::string text;
  if (!storedText(*volatileRecord, "volatileFlashMemory", text)) return ZYL_CONFIG_REFUSED;
  const size_t kept = text.size() < kVolatileSize ? text.size() : kVolatileSize;
  std::memcpy(secondFlashImage, text.data(), kept);
  std::memset(secondFlashImage + kept, 0, kVolatileSize - kept);
  return WriteFlash(secondFlashImage, 1);
}

bool ZylInterface::GetConfigFlashXML(std::string* xml) {
  if (!xml) return false;
  if (!settingsLoaded && ReadFlash(configFlashImage, 0) != ZYL_SUCCESS) return false;
  std::string text(imageText(configFlashImage, sizeof configFlashImage));
  replaceAll(text, "><", ">\n<");
  *xml = std::move(text);
  return true;
}

bool ZylInterface::GetVolatileFlashXML(std::string* xml) {
  if (!xml || !hasSecondFlash) return false;
  if (ReadFlash(secondFlashImage, 1) != ZYL_SUCCESS) return false;
  // The whole slot: the document and the zero bytes that fill it.
  std::string text(reinterpret_cast<const char*>(secondFlashImage), kVolatileSize);
  replaceAll(text, "><", ">\n<");
  *xml = std::move(text);
  return true;
}

// ---- Identity ------------------------------------------------------------------------------

PiraniType ZylInterface::GetPiraniType() {
  return PiraniType(recogniseText(flashRecord->get_piraniType(), zyl::detail::kPiraniTexts));
}
unsigned int ZylInterface::SetPiraniType(PiraniType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_piraniType, zyl::detail::kPiraniTexts, type);
}
const wchar_t* ZylInterface::GetPiraniTypeName(PiraniType type) {
  return nameOf(zyl::detail::kPiraniTexts, type);
}

RfBoxType ZylInterface::GetRfBoxType() {
  return RfBoxType(recogniseText(flashRecord->get_rfBoxType(), zyl::detail::kRfBoxStoredTexts));
}
unsigned int ZylInterface::SetRfBoxType(RfBoxType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_rfBoxType, zyl::detail::kRfBoxStoredTexts,
                     type);
}
const wchar_t* ZylInterface::GetRfBoxTypeName(RfBoxType type) {
  return nameOf(zyl::detail::kRfBoxDisplayTexts, type);
}

SourceHousingType ZylInterface::GetHousingType() {
  return SourceHousingType(
      recogniseText(flashRecord->get_housingType(), zyl::detail::kHousingTexts));
}
unsigned int ZylInterface::SetHousingType(SourceHousingType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_housingType, zyl::detail::kHousingTexts,
                     type);
}
const wchar_t* ZylInterface::GetHousingTypeName(SourceHousingType type) {
  return nameOf(zyl::detail::kHousingTexts, type);
}

HeaterControllerType ZylInterface::GetCapillaryHC() {
  return HeaterControllerType(
      recogniseText(flashRecord->get_capillaryHeater(), zyl::detail::kHeaterControllerTexts));
}
unsigned int ZylInterface::SetCapillaryHC(HeaterControllerType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_capillaryHeater,
                     zyl::detail::kHeaterControllerTexts, type);
}
HeaterControllerType ZylInterface::GetDesolvationGasHC() {
  return HeaterControllerType(
      recogniseText(flashRecord->get_desolvationGasHeater(), zyl::detail::kHeaterControllerTexts));
}
unsigned int ZylInterface::SetDesolvationGasHC(HeaterControllerType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_desolvationGasHeater,
                     zyl::detail::kHeaterControllerTexts, type);
}
HeaterControllerType ZylInterface::GetAPCIGasHC() {
  return HeaterControllerType(
      recogniseText(flashRecord->get_apciGasHeater(), zyl::detail::kHeaterControllerTexts));
}
unsigned int ZylInterface::SetAPCIGasHC(HeaterControllerType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_apciGasHeater,
                     zyl::detail::kHeaterControllerTexts, type);
}
const wchar_t* ZylInterface::GetHeaterControllerName(HeaterControllerType type) {
  return nameOf(zyl::detail::kHeaterControllerTexts, type);
}
int ZylInterface::GetNumHeaterTypes() {
  return firmwareV2 ? 3 : 2;
}

PowerSupplyType ZylInterface::GetSourcePSU() {
  return PowerSupplyType(
      recogniseText(flashRecord->get_sourcePSU(), zyl::detail::kPowerSupplyTexts));
}
unsigned int ZylInterface::SetSourcePSU(PowerSupplyType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_sourcePSU, zyl::detail::kPowerSupplyTexts,
                     type);
}
PowerSupplyType ZylInterface::GetLensPSU() {
  return PowerSupplyType(recogniseText(flashRecord->get_lensPSU(), zyl::detail::kPowerSupplyTexts));
}
unsigned int ZylInterface::SetLensPSU(PowerSupplyType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_lensPSU, zyl::detail::kPowerSupplyTexts,
                     type);
}
PowerSupplyType ZylInterface::GetDynodePSU() {
  return PowerSupplyType(
      recogniseText(flashRecord->get_dynodePSU(), zyl::detail::kPowerSupplyTexts));
}
unsigned int ZylInterface::SetDynodePSU(PowerSupplyType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_dynodePSU, zyl::detail::kPowerSupplyTexts,
                     type);
}
const wchar_t* ZylInterface::GetPowerSupplyName(PowerSupplyType type) {
  return nameOf(zyl::detail::kPowerSupplyTexts, type);
}

HeadAmpType ZylInterface::GetHeadAmpType() {
  return HeadAmpType(recogniseText(flashRecord->get_headAmpType(), zyl::detail::kHeadAmpTexts));
}
unsigned int ZylInterface::SetHeadAmpType(HeadAmpType type) {
  return setIdentity(*flashRecord, &c_flashMemory::set_headAmpType, zyl::detail::kHeadAmpTexts,
                     type);
}
const wchar_t* ZylInterface::GetHeadAmpTypeName(HeadAmpType type) {
  return nameOf(zyl::detail::kHeadAmpTexts, type);
}

const char* ZylInterface::GetHardwareTypeName(VexaHardwareType type) {
  const char* name = textOf(zyl::detail::kModelNames, type);
  return name ? name : "";
}

const wchar_t* ZylInterface::GetSerialNumber() {
  return flashRecord->get_serialNumber().c_str();
}
unsigned int ZylInterface::SetSerialNumber(const wchar_t* serialNumber) {
  if (!serialNumber) return ZYL_INVALID_ARGUMENT;
  flashRecord->set_serialNumber(serialNumber);
  return ZYL_SUCCESS;
}

const char* ZylInterface::GetQCData() {
  return flashRecord->get_qcData().c_str();
}
unsigned int ZylInterface::SetQCData(const char* qcData) {
  if (!qcData) return ZYL_INVALID_ARGUMENT;
  flashRecord->set_qcData(qcData);
  return ZYL_SUCCESS;
}

int64_t ZylInterface::GetLastPumpDownTime() {
  return volatileRecord->get_lastPumpDownTime();
}
unsigned int ZylInterface::SetLastPumpDownTime(int64_t time) {
  volatileRecord->set_lastPumpDownTime(static_cast<int32_t>(static_cast<uint32_t>(time)));
  return ZYL_SUCCESS;
}

// ---- Frequency factor and mass potentiometer -------------------------------------------------

unsigned int ZylInterface::SetFreqFact(uint32_t factor, uint16_t* readback) {
  flashRecord->set_frequency(widened(zyl::detail::CommandText<9>().hex(factor, 8, true).view()));
  const zyl::detail::CommandText<16> command = zyl::detail::CommandText<16>("-1B22").hex(factor, 8);
  if (firmwareV3) {
    unsigned char reply[1024];
    long length = sizeof reply;
    if (const unsigned int result =
            ZylUSBExecuteCommand(command.c_str(), reply, length, true, 10000, 10000);
        result != ZYL_SUCCESS)
      return result;
    const zyl::detail::LeadingHex hex = zyl::detail::leadingHex(
        imageText(reply, static_cast<size_t>(length < 0 ? 0 : length)), kHexReadbackDigits);
    if (hex.digits == 0) return ZYL_CONFIG_REFUSED;
    if (readback) *readback = static_cast<uint16_t>(hex.value);
    adcChannels[5] = static_cast<uint16_t>(hex.value);
    return ZYL_SUCCESS;
  }
  const unsigned int result = sendAcknowledged(command.c_str());
  // Both steps go out even when the first fails: a slow failure leaves the status old enough for
  // the second to fetch again.
  const bool forced = ForceStatusUpdate() == ZYL_SUCCESS;
  const bool fetched = UpdateStatusIfNeeded() == ZYL_SUCCESS && forced;
  if (readback) *readback = fetched ? adcChannels[5].load() : 2;
  return result;
}

uint32_t ZylInterface::GetFreqFact() {
  return leadingHexOr(flashRecord->get_frequency(), kInitialFrequency);
}

unsigned int ZylInterface::SetMassPot(uint8_t value) {
  flashRecord->set_massPot(widened(zyl::detail::CommandText<3>().hex(value, 2, true).view()));
  return ZYL_SUCCESS;
}

uint8_t ZylInterface::GetMassPot() {
  return static_cast<uint8_t>(leadingHexOr(flashRecord->get_massPot(), kInitialMassPot));
}
