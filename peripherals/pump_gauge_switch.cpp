// Switching the turbo pump and setting up the Pirani gauge: both are serial devices behind the
// passthrough, so these are serial-device commands; their readings come through the status
// record (status/pump_gauge.cpp).
//
// What the pump and the gauge answer is read (to empty the port) but never examined, so a refused
// switch still reports success; only a failing passthrough gives ZYL_COMM_FAILURE.
#include "link/clock.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr long kReplyCapacity = 64;
constexpr uint32_t kGaugePauseMs = 5;

constexpr char kRunOn[] = "!C852 1\r";
constexpr char kRunOff[] = "!C852 0\r";
constexpr char kStandbyOff[] = "!C869 0\r";
constexpr char kStandbyOn[] = "!C869 1\r";
constexpr char kGaugeBaud[] = "@254BR!9600;FF";
constexpr char kGaugeMbar[] = "@254U!MBAR;FF";

}  // namespace

unsigned int ZylInterface::pumpExchange(const char* text) {
  char reply[kReplyCapacity];
  long length = sizeof reply;
  return serialCommand(pumpChannel, text, reply, length, false) == ZYL_SUCCESS ? ZYL_SUCCESS
                                                                               : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::PumpOn() {
  if (pumpExchange(kRunOn) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  return pumpExchange(kStandbyOff);
}

unsigned int ZylInterface::PumpStandby() {
  if (pumpExchange(kRunOn) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  return pumpExchange(kStandbyOn);
}

unsigned int ZylInterface::PumpOff() {
  return pumpExchange(kRunOff);
}

unsigned int ZylInterface::PiraniSetup() {
  // The gauge may be set up before it answers at all: every result here is ignored.
  char reply[kReplyCapacity];
  long length = sizeof reply;
  ZylUSBReadSerialASCII(gaugeChannel, reply, length);
  for (const char* text : {kGaugeBaud, kGaugeMbar}) {
    ZylUSBWriteSerialASCII(gaugeChannel, text);
    zyl::detail::clock().sleepMs(kGaugePauseMs);
    length = sizeof reply;
    ZylUSBReadSerialASCII(gaugeChannel, reply, length);
  }
  return ZYL_SUCCESS;
}
