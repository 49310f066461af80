// The short replies the library reads at fixed places, chosen by the first input byte (a digit in
// the seeds); the rest of the input is the reply, or the replies one per line:
//   0: the firmware version ("-1B05") and the model ("-1B07"), read as the connection reads them;
//   1: the controller board's reading of a heater it drives ("-1B32..02"), older firmware;
//   2: the frequency readback of V3 firmware ("-1B22");
//   3: the answer to an acknowledged command ("-1B9F");
//   4: a flash region ("-1B61") read into an image of 65,536 bytes.
// Beyond memory safety it checks the version text is terminated within its field, that only
// "ACK" acknowledges, and that the image holds the reply's bytes followed by zero bytes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "instrument.h"
#include "support/zyl_test_peer.h"

namespace {

constexpr size_t kRegionSize = ZYL_FLASH_REGION_BYTES;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

void identity(zyl::fuzz::Instrument& instrument, ZylInterface& z, std::string_view input) {
  instrument.answer({"-1B05", "-1B07"}, zyl::fuzz::lines(input));
  z.firmwareVersionRead = false;
  z.hardwareType = ZentraVexa;
  ZylTestPeer::initHardwareVersion(z);
  if (strnlen(z.firmwareVersion, sizeof z.firmwareVersion) == sizeof z.firmwareVersion)
    fail("firmware version not terminated");
}

void acknowledgement(zyl::fuzz::Instrument& instrument, ZylInterface& z, std::string_view input) {
  instrument.answer({"-1B9F"}, {input});
  const bool acknowledged = z.ClearScanQueue() == ZYL_SUCCESS;
  // The acknowledgement buffer holds 1024 bytes; the text counts up to its first zero byte.
  const bool isAck = input.size() < 1024 && input.substr(0, input.find('\0')) == "ACK";
  if (acknowledged != isAck) fail("acknowledgement");
}

void flashRegion(zyl::fuzz::Instrument& instrument, ZylInterface& z, std::string_view input) {
  instrument.answer({"-1B61"}, {input});
  const auto image = std::make_unique<unsigned char[]>(kRegionSize);
  if (z.ReadFlash(image.get(), 0) != ZYL_SUCCESS) return;
  const size_t n = std::min(input.size(), kRegionSize);
  if (std::memcmp(image.get(), input.data(), n) != 0 ||
      std::any_of(image.get() + n, image.get() + kRegionSize, [](unsigned char b) { return b; }))
    fail("flash image");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int reply = data[0] % 5;
  const std::string_view input = zyl::fuzz::text(data + 1, size - 1);
  zyl::fuzz::Instrument& instrument = zyl::fuzz::Instrument::get();
  ZylInterface& z = instrument.reset(reply == 2 || reply == 3, false);
  switch (reply) {
    case 0:
      identity(instrument, z, input);
      break;
    case 1:
      z.SetCapillaryHC(HC_DigitalBoardBuiltIn);
      instrument.answer({"-1B32"}, {input});
      z.GetCapillaryHeaterTemp();
      break;
    case 2: {
      instrument.answer({"-1B22"}, {input});
      uint16_t readback = 0;
      z.SetFreqFact(0x15000, &readback);
      break;
    }
    case 3:
      acknowledgement(instrument, z, input);
      break;
    default:
      flashRegion(instrument, z, input);
  }
  return 0;
}
