// The status record and its polled refresh.
#include "link/clock.h"
#include "zyl/ZylInterface.h"

unsigned int ZylInterface::ForceStatusUpdate() {
  unsigned char reply[512];
  long length = sizeof reply;
  lastStatusTimeMs = GetTimeMS();
  return ZylUSBExecuteCommand("-1B3000", reply, length, true, 6000, 6000);
}
