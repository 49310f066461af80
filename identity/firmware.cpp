// The controller firmware's version text, read once and handed out, and the replacement of the
// firmware by a new image.
//
// An update is "-1B88A5", the image in blocks of 256 bytes ("-1B89" and 512 hex digits, data in
// lower case, the last block filled up with "FF"), then "-1B885A". The end command goes out
// whatever happened before it, the status stream is started again if the update stopped it, and
// the version is read afresh, so the object always leaves an update speaking to whatever
// firmware now runs. Blocks are not logged: an image of a few hundred kilobytes would flood the
// log with thousands of lines.
#include <algorithm>
#include <cstring>

#include "link/wire.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr long kVersionCapacity = sizeof ZylInterface::firmwareVersion;
constexpr long kBlockBytes = 256;
constexpr long kProgressStep = 10000;
constexpr long kFinalProgressExtra = 1000;

using Block = zyl::detail::CommandText<5 + 2 * kBlockBytes + 1>;

}  // namespace

// The reply lands in a buffer of its own: the command channel clears its reply buffer before it
// reads, so reading into firmwareVersion would lose the known version to a failed read.
bool ZylInterface::InitFirmwareVersion() {
  unsigned char reply[kVersionCapacity];
  long length = kVersionCapacity;
  if (ZylUSBExecuteCommand("-1B05", reply, length, true, 2000, 2000) != ZYL_SUCCESS) return false;
  // A reply that fills the buffer gives up its last character to the terminator.
  const long kept = std::clamp(length, 0L, kVersionCapacity - 1);
  std::memcpy(firmwareVersion, reply, static_cast<size_t>(kept));
  firmwareVersion[kept] = 0;
  firmwareVersionRead = true;
  return true;
}

bool ZylInterface::GetFirmwareVersion(char* text, long& length) {
  if (!text) return false;
  if (!firmwareVersionRead && !InitFirmwareVersion()) {
    text[0] = '\0';
    length = 0;
    return communicationState == CommConnected;
  }
  const size_t n = strnlen(firmwareVersion, sizeof firmwareVersion - 1);
  std::memcpy(text, firmwareVersion, n);
  text[n] = '\0';
  length = static_cast<long>(n);
  return communicationState == CommConnected;
}

unsigned int ZylInterface::UpdateFirmware(unsigned char* image, long length) {
  if (!image && length > 0) return ZYL_INVALID_ARGUMENT;
  DebugOut("Update firmware - %ld bytes", length);
  const bool suspended = suspendStatusStream();

  if (sendAcknowledged("-1B88A5", true, 10000, 20000) == ZYL_SUCCESS) {
    long sent = 0;
    long mark = kProgressStep;
    bool complete = true;
    while (sent < length) {
      const long take = std::min(length - sent, kBlockBytes);
      Block block("-1B89");
      for (long i = 0; i < take; ++i) block.hex(image[sent + i], 2);
      for (long i = take; i < kBlockBytes; ++i) block.append("FF");
      if (sendAcknowledged(block.c_str(), false) != ZYL_SUCCESS) {
        complete = false;
        break;
      }
      sent += take;
      if (sent > mark) {
        if (progressCallback) progressCallback(static_cast<int>(sent));
        DebugOut("Wrote %ld bytes", sent);
        mark += kProgressStep;
      }
    }
    if (complete && progressCallback)
      progressCallback(static_cast<int>(length + kFinalProgressExtra));
  }

  const unsigned int result = sendAcknowledged("-1B885A");
  resumeStatusStream(suspended);
  firmwareVersionRead = false;
  InitFirmwareVersion();
  DebugOut("Complete");
  return result;
}
