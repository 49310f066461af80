// Reaches the private helpers of the instrument object from tests.
#pragma once

#include <string>
#include <vector>

#include "zyl/ZylInterface.h"

struct ZylTestPeer {
  template <typename... Args>
  static void debugOut(ZylInterface& z, const char* format, Args... args) {
    z.DebugOut(format, args...);
  }
  static void split(ZylInterface& z, std::string& text, std::vector<std::string>& pieces) {
    z.split(text, pieces);
  }
  static void replaceAll(ZylInterface& z, std::string& text, const std::string& from,
                         const std::string& to) {
    z.replaceAll(text, from, to);
  }
  static unsigned int sendAcknowledged(ZylInterface& z, const char* command) {
    return z.sendAcknowledged(command);
  }
  static bool initHardwareVersion(ZylInterface& z) { return z.InitHardwareVersion(); }
  static unsigned short calculateCRC(const char* hexText) {
    return ZylInterface::calculateCRC(hexText);
  }
  static CCyBulkEndPoint* findUsbEndpoint(ZylInterface& z, CCyUSBDevice* d, int n) {
    return z.findUsbEndpoint(d, n);
  }
  // Heaters.
  static float userTempFromRaw(unsigned short raw) {
    return ZylInterface::userTempReadbackFromRawTemp(raw);
  }
  static unsigned short rawFromUserTemp(float t) {
    return ZylInterface::rawTempSettingFromUserTemp(t);
  }
  // Configuration.
  static unsigned char* getFlashAddr(ZylInterface& z, bool ion, bool groupA, bool alternate,
                                     bool full) {
    return z.GetFlashAddr(ion, groupA, alternate, full);
  }
  // Status.
  static void applyStatusReply(ZylInterface& z, char* reply, long length) {
    z.applyStatusReply(reply, length);
  }
  static void parseStatusFrame(ZylInterface& z, const char* frame, size_t length) {
    z.parseStatusFrame(frame, length);
  }
  // Scanning (the scan benchmark): the host side of the reply the last scan left in the scan
  // reply buffer.
  static unsigned int deliverScanReply(ZylInterface& z, size_t received, void* block,
                                       unsigned int* pointCount) {
    return z.deliverScanReply(received, true, block, pointCount);
  }
};
