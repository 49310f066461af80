// first_contact: the smallest useful host program. It connects to the instrument, prints the
// communication state and firmware version, and reads the vacuum and pump status once.
//
//   ZYL_BACKEND=sim ./first_contact        # against the simulated instrument
//   ./first_contact /tmp/zyl-log           # against real hardware, with a debug log
#include <zyl/ZylInterface.h>
#include <zyl/version.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

std::atomic<int> frames{0};
void onStatusFrame() {
  ++frames;
}

const char* stateName(CommunicationState s) {
  switch (s) {
    case CommNotConnected:
      return "not connected";
    case CommNoResponse:
      return "no response";
    case CommConnected:
      return "connected";
    case CommInitialized:
      return "initialized";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("libzyl %s (headers %s)\n", zyl::libraryVersion(), ZYL_VERSION);
  ZylInterface zyl(argc > 1 ? argv[1] : nullptr);

  // Construction connects and initialises when the instrument answers; otherwise poll.
  CommunicationState state = zyl.GetCommunicationState();
  for (int i = 0; i < 10 && state != CommInitialized; ++i) {
    if (zyl.TestConnection() == CommConnected) state = zyl.InitializeSettings();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    state = zyl.GetCommunicationState();
  }
  std::printf("state:    %s\n", stateName(state));
  if (state != CommConnected && state != CommInitialized) {
    std::fprintf(stderr, "no instrument answered (try ZYL_BACKEND=sim)\n");
    return 2;
  }
  std::printf("firmware: %s (%s)\n", zyl.firmwareVersion,
              zyl.IsV3() ? "V3, streams status" : "polled status");

  // V3 firmware streams its status: switch the stream on and wait for the first frame. Older
  // firmware is polled by the getters themselves.
  if (zyl.IsV3()) {
    zyl.SetStatusCallback(&onStatusFrame);
    zyl.EnableStatusReporting(true);
    for (int i = 0; i < 50 && frames == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double pressure = 0;
  unsigned short speed = 0;
  const unsigned int status = zyl.PiraniPressureMBar(&pressure);
  zyl.PumpSpeed(&speed);
  if (zyl.IsV3()) zyl.EnableStatusReporting(false);
  if (status != ZYL_SUCCESS || (zyl.IsV3() && frames == 0)) {
    std::fprintf(stderr, "status read failed (%u)\n", status);
    return 3;
  }
  std::printf("pressure: %.3g mbar (%s)\n", pressure,
              zyl.IsPressureOK() ? "vacuum ready" : "not ready");
  std::printf("pump:     speed %u, %s\n", speed, zyl.IsPumpRunning() ? "running" : "stopped");
  return 0;
}
