// The three encodings of a status, chosen by the first input byte (a digit in the seeds):
//   bits 0-1 = 0: the reply to "-1B3000" (older firmware), fetched by ForceStatusUpdate into its
//                 512-byte reply buffer;
//            = 1: a V3 status-pipe frame, cut to the 1023 characters the status thread keeps;
//            = 2 or 3: the serial-device text of format A, on its own.
//   bit 2: heater readbacks travel in the status text.
// The rest of the input is what the instrument sends. Beyond memory safety it checks that no
// pressure of 0 reaches the record: 0 stands for "no reading", which the record keeps as 99.0.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "instrument.h"
#include "support/zyl_test_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int encoding = data[0] & 3;
  const std::string_view input = zyl::fuzz::text(data + 1, size - 1);
  zyl::fuzz::Instrument& instrument = zyl::fuzz::Instrument::get();
  ZylInterface& z = instrument.reset(encoding == 1, (data[0] & 4) != 0);

  if (encoding == 0) {
    instrument.answer({"-1B3000"}, {input});
    z.ForceStatusUpdate();
  } else if (encoding == 1) {
    // A copy of exactly the received length, so that a read beyond the frame shows.
    const size_t n = std::min<size_t>(input.size(), 1023);
    std::vector<char> frame(input.begin(), input.begin() + static_cast<long>(n));
    ZylTestPeer::parseStatusFrame(z, frame.data(), frame.size());
  } else {
    std::vector<char> serial(input.begin(), input.end());
    serial.push_back('\0');
    z.ParseSerialData(serial.data());
  }

  if (z.pressureMbar == 0.0) {
    std::fputs("a pressure of 0 reached the status record\n", stderr);
    std::abort();
  }
  return 0;
}
