// Scans of the simulated instrument: the DAC codes it was sent, the synthetic spectrum it answers
// with, and the layout of the scan data it streams on V3 firmware, with a decoder for it.
//
// DAC codes. Older firmware takes "-1B10" per channel ("0001" ramped: channel, start and end code;
// "0002" fixed: channel, code, "0000"; "0003": "0000", range start and end; each optionally
// followed by the limits suffix "0000FFFF"); V3 firmware takes one "-1B13" with every channel
// record (channel, or channel + 0x80 when ramped, then its codes) and the range record 0x91. Codes
// arrive in offset form (value + 32768) and are kept signed in `DacSettings`. Each generation
// refuses the other's command.
//
// The spectrum. A scan from `start` to `end` (scan positions, 0 to 65535) lasting T ms has
//   n = (end - start) x T / 8192 points (integer part),
// T recovered from the command's ticks as ticks x 940 / 273066, so a sweep of 59000 positions in
// 500 ms has 3601 points. Point i sits at position start + (end - start) x i / n. Its counts are a
// baseline of 200 with Gaussian noise (sigma 15) plus five Gaussian peaks whose positions, heights
// and widths are drawn from the instrument's seed once, so every instrument with the same seed
// shows the same spectrum (and the same noise for the same sequence of scans). The DAC codes shape
// it: fixed channel 0 is the detector gain (peak heights x 2^(code / 8192)), ramped channel 8 the
// resolution (peak widths x 2^(-code / 16384), the code taken at the point's position between the
// channel's start and end code), ramped channel 9 a mass offset (peaks move by code / 16
// positions). A scan with inverted polarity (V3 mode "04") sees a third of the ions.
//
// The calibrant. Every spectrum also shows the peaks of a calibrant infused with the sample: the
// m/z values of kCalibrantMz, 12,000 counts high (before the gain), 25 positions wide (sigma,
// before the resolution), at the positions the instrument's own mass axis gives them. That axis
// is hidden: a slightly non-linear curve drawn from the seed, near m/z 20 + 0.0305 x position, so
// a sweep of 1000 to 60000 shows all seven. The detector answers 0.2 ms late, so the peaks lie
// further up the sweep the faster it runs (speed x 0.2 ms positions).
//
// Older firmware ("-1B900001ssssEEEEttttttttaaaa") answers with the whole scan once it has run,
// T ms of real time divided by the instrument's timeScale after the command (at once with a
// manual clock): n points of 4 bytes, least significant byte first, with bit 31 inverted as the
// controller sends it; the 32 ADC readings and the digital inputs of the controller (ControllerIo)
// as 16-bit little-endian words; the serial-device text of the status reply; n as a big-endian
// 32-bit number. A scan whose reply would exceed kScanReplyBytes keeps the points that fit and pads
// its serial text with blanks, so its reply is exactly kScanReplyBytes long.
//
// V3 firmware ("-1B90llllssssEEEEttttttttaaaamm", mm "0B" or "04") acknowledges and queues the
// scan; the scans of the queue run back to back, each taking T ms of real time divided by the
// instrument's timeScale (no time with a manual clock), and each streams as one message on the
// scan endpoint 0x84 when it is done. "-1B9F" drops the scans not yet streamed. Message layout,
// all numbers little-endian:
//
//   offset  size  content
//   0       4     "ZSCN"
//   4       4     sequence number of the scan since the instrument started (0, 1, ...)
//   8       2     lead word of the scan command
//   10      2     tail word of the scan command
//   12      2     start position
//   14      2     end position
//   16      4     n, the number of points
//   20      4 n   the points, each with bit 31 inverted as on the older firmware
//
// A message longer than the host's read arrives over several reads, in order. n is capped so that
// a message fits kScanReplyBytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include <zyl/limits.h>
#include <zyl/sim/Firmware.h>

namespace zyl::sim {

inline constexpr size_t kScanReplyBytes = ZYL_SCAN_REPLY_BYTES;  // the host's scan reply capacity
inline constexpr size_t kV3ScanHeaderBytes = 20;  // before the points of a V3 message
inline constexpr size_t kV3ScanCountOffset = 16;  // of n in a V3 message
// The calibrant's m/z values (a common electrospray tuning mix).
inline constexpr std::array<double, 7> kCalibrantMz = {118.0863,  322.0481,  622.0290, 922.0098,
                                                       1221.9906, 1521.9715, 1821.9523};

// The DAC codes the instrument was last sent.
struct DacSettings {
  std::array<bool, 16> ramped{};
  std::array<int16_t, 16> startCode{};
  std::array<int16_t, 16> endCode{};
  uint16_t rangeStart = 0, rangeEnd = 0;
  uint64_t updates = 0;  // channel, range and combined commands accepted
};

// One scan command's fields (ticks: the scan time in the controller's clock ticks).
struct ScanRequest {
  uint16_t leadWord = 1, start = 0, end = 0, tailWord = 0;
  uint32_t ticks = 0;
  bool normalPolarity = true;
};

// The firmware part of the scan commands (`state().part<ScanState>()`).
struct ScanState {
  DacSettings dacs;
  struct Queued {
    ScanRequest request;
    DacSettings dacs;  // as they were when the scan was queued
    TimePoint dueAt;
  };
  std::deque<Queued> queue;   // V3 scans not yet streamed
  uint32_t nextSequence = 0;  // of the next V3 message
  uint64_t scansRun = 0;      // of either generation
};

// The number of points of a scan (before the cap of the reply size).
uint64_t scanPointCount(uint16_t start, uint16_t end, uint32_t ticks);
// The scan position of point i of n.
double scanPosition(uint16_t start, uint16_t end, uint64_t n, uint64_t i);

// One V3 scan message, decoded.
struct V3Scan {
  uint32_t sequence = 0;
  uint16_t leadWord = 0, tailWord = 0, start = 0, end = 0;
  std::vector<uint32_t> counts;  // bit 31 restored
};
// Decodes one message of the layout above; nothing when it does not start with "ZSCN" or holds
// fewer bytes than its point count needs (bytes beyond them are ignored).
std::optional<V3Scan> decodeV3Scan(std::span<const uint8_t> message);
// The length of the whole V3 message that begins with `received` (header and points), from the
// count in its header; 0 while the header is not complete.
size_t v3ScanMessageBytes(std::span<const uint8_t> received);

}  // namespace zyl::sim
