// The instrument object: construction and connection sequence, destruction.
#include <cstdio>
#include <cstring>

#include "link/clock.h"
#include "link/usb/CyUSB.h"
#include "peripherals/output_word.h"
#include "zyl/FlashMemory.h"
#include "zyl/VolatileFlashMemory.h"
#include "zyl/ZylInterface.h"

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

void ZylInterface::SetProgressCallback(ZylProgressCallback callback) {
  progressCallback = callback;
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
