// The instrument object: construction and connection sequence, destruction, debug log, clocks
// and the small text utilities the subsystems share.
#include <clocale>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "link/clock.h"
#include "link/usb/CyUSB.h"
#include "peripherals/output_word.h"
#include "zyl/FlashMemory.h"
#include "zyl/VolatileFlashMemory.h"
#include "zyl/ZylInterface.h"

namespace {}  // namespace

ZylInterface::ZylInterface(const char* debugDirectory) {
  for (int i = 0; i < 16; ++i) dacChannels[i].kind = (i >= 8 && i <= 11) ? Ramped : Fixed;
  capillaryNextPollTime = zyl::detail::clock().processMs();

  if (debugDirectory) {
    char path[1024];
    const int n = std::snprintf(path, sizeof path, "%s/ZylDebug.out", debugDirectory);
    if (n > 0 && static_cast<size_t>(n) < sizeof path) debugLogFile = std::fopen(path, "at");
    lastLogClock = zyl::detail::clock().processMs();
  }

  flashRecord = new FlashMemory::c_flashMemory();
  volatileRecord = new VolatileFlashMemory::c_volatileFlashMemory();

  InitFirmwareVersion();
  if (communicationState == CommConnected) InitializeSettings();
}

ZylInterface::~ZylInterface() {
  stopStatusReporting();

  delete flashRecord;
  flashRecord = nullptr;
  delete volatileRecord;
  volatileRecord = nullptr;

  delete scanDevice;
  scanDevice = nullptr;
  delete statusDevice;
  statusDevice = nullptr;
  delete commandDevice;
  commandDevice = nullptr;
  {
    std::lock_guard lock(statusTextLock);
    delete[] statusText;  // left behind only by a thread that never got to free it
    statusText = nullptr;
  }

  if (debugLogFile) std::fclose(debugLogFile);
  debugLogFile = nullptr;
}

CommunicationState ZylInterface::GetCommunicationState() {
  return communicationState;
}

CommunicationState ZylInterface::TestConnection() {
  InitFirmwareVersion();
  return communicationState;
}

CommunicationState ZylInterface::InitializeSettings() {
  if (!firmwareVersionRead && InitFirmwareVersion()) return CommNotConnected;

  if (readFlashMemorySettings() != ZYL_SUCCESS) return CommNotConnected;
  settingsLoaded = true;
  if (!InitHardwareVersion()) return communicationState;
  if (!firmwareV3) {
    if (ForceStatusUpdate() != ZYL_SUCCESS) return communicationState;
    zyl::detail::setOutput(digitalOutputs, zyl::detail::kPumpChannel, pumpRunning.load());
  }
  zyl::detail::setOutput(digitalOutputs, zyl::detail::kInitializedChannel, true);
  dacDirty = 1;
  WriteDigitalOut();
  communicationState = CommInitialized;
  return CommInitialized;
}

void ZylInterface::SetDebugCallback(ZylDebugCallback callback) {
  debugCallback = callback;
}

void ZylInterface::SetProgressCallback(ZylProgressCallback callback) {
  progressCallback = callback;
}

void ZylInterface::GetDebugString(char* out) {
  if (out) std::memcpy(out, debugString, std::strlen(debugString) + 1);
}

void ZylInterface::GetStatusString(char* out) {
  if (!out) return;
  std::lock_guard lock(statusTextLock);
  if (statusText) std::memcpy(out, statusText, strnlen(statusText, 1023) + 1);
}

unsigned char ZylInterface::IsV3() {
  return firmwareV3;
}

unsigned char ZylInterface::readsDataInParallel() {
  return firmwareV3;
}

void ZylInterface::DebugOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(debugString, sizeof debugString, format, args);
  va_end(args);
  if (!debugLogFile) return;
  const long now = zyl::detail::clock().processMs();
  std::fprintf(debugLogFile, "%lu (%f) %s\n", static_cast<unsigned long>(now),
               static_cast<double>(now - lastLogClock) / 1000.0, debugString);
  std::fflush(debugLogFile);
  lastLogClock = now;
  if (debugCallback) debugCallback();
}

uint64_t ZylInterface::GetTimeMS() {
  return zyl::detail::clock().monotonicMs();
}

char* ZylInterface::readEnglishLocaleFloat(char* text, double* out) {
  if (char* point = std::strchr(text, '.')) *point = *std::localeconv()->decimal_point;
  char* end = nullptr;
  *out = std::strtod(text, &end);
  return end;
}

void ZylInterface::split(std::string& text, std::vector<std::string>& pieces) {
  pieces.clear();
  size_t begin = 0;
  for (size_t comma; (comma = text.find(',', begin)) != std::string::npos; begin = comma + 1)
    pieces.push_back(text.substr(begin, comma - begin));
  pieces.push_back(text.substr(begin));
}

void ZylInterface::replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;  // an empty pattern matches everywhere and would never end
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}
