// Scan commands of the simulated controller: DAC codes, scans of both generations, the V3 scan
// queue and its stream on the scan endpoint (layouts in zyl/sim/Scan.h).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include <zyl/sim/Instrument.h>
#include <zyl/sim/Scan.h>

#include "sim/controller_io.h"
#include "sim/hex.h"
#include "sim/spectrum.h"
#include "sim/status_report.h"

namespace zyl::sim {

namespace {

constexpr std::string_view kLimitsSuffix = "0000FFFF";
constexpr size_t kOlderTrailerFixed = 32 * 2 + 2;
constexpr size_t kCountBytes = 4;
constexpr uint8_t kRangeRecord = 0x91;
constexpr uint8_t kRampedFlag = 0x80;

int16_t fromOffsetForm(uint16_t code) {
  return static_cast<int16_t>(code ^ 0x8000u);
}

void putLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void putLe32(uint8_t* p, uint32_t v) {
  for (int b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>(v >> (8 * b));
}
uint32_t getLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t getLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// "-1B10", older firmware: one channel or the range per command.
void dacCommand(CommandContext& c) {
  if (c.state().isV3()) return c.refuse();
  std::string_view a = c.args();
  if (a.size() == 24 && a.ends_with(kLimitsSuffix)) a.remove_suffix(kLimitsSuffix.size());
  uint16_t mode = 0, channel = 0, first = 0, second = 0;
  if (a.size() != 16 || !takeHex(a, 4, mode) || !takeHex(a, 4, channel) || !takeHex(a, 4, first) ||
      !takeHex(a, 4, second))
    return c.refuse();
  DacSettings& d = c.state().part<ScanState>().dacs;
  switch (mode) {
    case 1:
    case 2:
      if (channel > 15) return c.refuse();
      d.ramped[channel] = mode == 1;
      d.startCode[channel] = fromOffsetForm(first);
      d.endCode[channel] = mode == 1 ? fromOffsetForm(second) : d.startCode[channel];
      break;
    case 3:
      if (channel != 0) return c.refuse();
      d.rangeStart = first;
      d.rangeEnd = second;
      break;
    default:
      return c.refuse();
  }
  ++d.updates;
  c.ack();
}

// "-1B13", V3 firmware: every channel and the range in one command. Nothing is taken unless the
// whole command reads.
void combinedDacCommand(CommandContext& c) {
  if (!c.state().isV3()) return c.refuse();
  std::string_view a = c.args();
  DacSettings d = c.state().part<ScanState>().dacs;
  while (!a.empty()) {
    uint8_t id = 0;
    uint16_t first = 0, second = 0;
    if (!takeHex(a, 2, id) || !takeHex(a, 4, first)) return c.refuse();
    if (id == kRangeRecord) {
      if (!takeHex(a, 4, second)) return c.refuse();
      d.rangeStart = first;
      d.rangeEnd = second;
      continue;
    }
    const bool ramped = (id & kRampedFlag) != 0;
    const uint8_t channel = id & ~kRampedFlag;
    if (channel > 15 || (ramped && !takeHex(a, 4, second))) return c.refuse();
    d.ramped[channel] = ramped;
    d.startCode[channel] = fromOffsetForm(first);
    d.endCode[channel] = ramped ? fromOffsetForm(second) : d.startCode[channel];
  }
  ++d.updates;
  c.state().part<ScanState>().dacs = d;
  c.ack();
}

// The real time a scan takes: its scan time at the instrument's time scale.
SteadyClock::duration scanDuration(FirmwareContext& f, uint32_t ticks) {
  const double scale = f.clock().scale();
  if (f.clock().manual() || scale <= 0) return {};
  const double ms = double(ticks) * 940.0 / 273066.0 / scale;
  return std::chrono::duration_cast<SteadyClock::duration>(
      std::chrono::duration<double, std::milli>(ms));
}

// The older firmware's reply: points, readings, inputs, serial text, count.
void olderScan(CommandContext& c, const ScanRequest& r) {
  ScanState& scans = c.state().part<ScanState>();
  const ControllerIo& io = c.state().part<ControllerIo>();
  std::string text = serialDeviceText(c);
  const size_t fixed = kOlderTrailerFixed + kCountBytes;
  text.resize(std::min(text.size(), kScanReplyBytes - fixed));
  uint64_t n = scanPointCount(r.start, r.end, r.ticks);
  const uint64_t fits = (kScanReplyBytes - fixed - text.size()) / 4;
  if (n > fits) {
    n = fits;
    text.resize(kScanReplyBytes - fixed - 4 * n, ' ');
  }
  std::vector<uint8_t> reply(4 * n + fixed + text.size());
  c.state().part<SpectrumModel>().render(c.options().seed, r, scans.dacs, n, reply.data());
  uint8_t* p = reply.data() + 4 * n;
  for (uint16_t a : io.adc) putLe16(std::exchange(p, p + 2), a);
  putLe16(std::exchange(p, p + 2), io.digitalInputs);
  std::memcpy(p, text.data(), text.size());
  p += text.size();
  const uint32_t count = static_cast<uint32_t>(n);
  for (int b = 3; b >= 0; --b) *p++ = static_cast<uint8_t>(count >> (8 * b));
  ++scans.scansRun;
  c.delayReplies(scanDuration(c, r.ticks));
  c.reply(reply);
}

// Queues every V3 scan that is due by `now` on the scan endpoint.
TimePoint streamDueScans(FirmwareContext& f, TimePoint now) {
  ScanState& scans = f.state().part<ScanState>();
  while (!scans.queue.empty() && scans.queue.front().dueAt <= now) {
    const ScanState::Queued q = scans.queue.front();
    scans.queue.pop_front();
    const ScanRequest& r = q.request;
    const uint64_t n = std::min<uint64_t>(scanPointCount(r.start, r.end, r.ticks),
                                          (kScanReplyBytes - kV3ScanHeaderBytes) / 4);
    std::vector<uint8_t> message(kV3ScanHeaderBytes + 4 * n);
    uint8_t* h = message.data();
    std::memcpy(h, "ZSCN", 4);
    putLe32(h + 4, scans.nextSequence++);
    putLe16(h + 8, r.leadWord);
    putLe16(h + 10, r.tailWord);
    putLe16(h + 12, r.start);
    putLe16(h + 14, r.end);
    putLe32(h + 16, static_cast<uint32_t>(n));
    f.state().part<SpectrumModel>().render(f.options().seed, r, q.dacs, n, h + kV3ScanHeaderBytes);
    ++scans.scansRun;
    f.push(kScanIn, message);
  }
  return scans.queue.empty() ? TimePoint::max() : scans.queue.front().dueAt;
}

// "-1B90": a scan; the older firmware answers with it, V3 firmware queues it.
void scanCommand(CommandContext& c) {
  const bool v3 = c.state().isV3();
  std::string_view a = c.args();
  ScanRequest r;
  if (a.size() != (v3 ? 26u : 24u) || !takeHex(a, 4, r.leadWord) || !takeHex(a, 4, r.start) ||
      !takeHex(a, 4, r.end) || !takeHex(a, 8, r.ticks) || !takeHex(a, 4, r.tailWord) ||
      r.start >= r.end)
    return c.refuse();
  if (!v3) return olderScan(c, r);
  if (a != "0B" && a != "04") return c.refuse();
  r.normalPolarity = a == "0B";

  ScanState& scans = c.state().part<ScanState>();
  const TimePoint now = c.now();
  const TimePoint begins = scans.queue.empty() ? now : std::max(now, scans.queue.back().dueAt);
  scans.queue.push_back({r, scans.dacs, begins + scanDuration(c, r.ticks)});
  c.setStreamSource(kScanIn, &streamDueScans);
  c.ack();
}

}  // namespace

std::optional<V3Scan> decodeV3Scan(std::span<const uint8_t> m) {
  if (m.size() < kV3ScanHeaderBytes || std::memcmp(m.data(), "ZSCN", 4) != 0) return std::nullopt;
  const uint64_t n = getLe32(m.data() + kV3ScanCountOffset);
  if ((m.size() - kV3ScanHeaderBytes) / 4 < n) return std::nullopt;
  V3Scan s;
  s.sequence = getLe32(m.data() + 4);
  s.leadWord = getLe16(m.data() + 8);
  s.tailWord = getLe16(m.data() + 10);
  s.start = getLe16(m.data() + 12);
  s.end = getLe16(m.data() + 14);
  s.counts.resize(n);
  for (uint64_t i = 0; i < n; ++i)
    s.counts[i] = getLe32(m.data() + kV3ScanHeaderBytes + 4 * i) ^ 0x80000000u;
  return s;
}

size_t v3ScanMessageBytes(std::span<const uint8_t> received) {
  if (received.size() < kV3ScanHeaderBytes) return 0;
  return kV3ScanHeaderBytes + 4 * size_t{getLe32(received.data() + kV3ScanCountOffset)};
}

void installScanCommands(Firmware& firmware) {
  firmware.on("10", dacCommand);
  firmware.on("13", combinedDacCommand);
  firmware.on("90", scanCommand);
  firmware.on("9F", [](CommandContext& c) {
    if (!c.state().isV3()) return c.refuse();
    c.state().part<ScanState>().queue.clear();
    c.ack();
  });
}

}  // namespace zyl::sim
