// Digital outputs: the host keeps the 64-bit output word; the instrument gets its complement.
#include "link/wire.h"
#include "zyl/ZylInterface.h"

unsigned int ZylInterface::WriteDigitalOut() {
  if (communicationState != CommConnected && communicationState != CommInitialized)
    return ZYL_COMM_FAILURE;
  zyl::detail::CommandText<32> command("-1B21");
  command.hex(~digitalOutputs, 16);
  return sendAcknowledged(command.c_str());
}
