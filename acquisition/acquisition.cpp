// The run: an acquisition thread that drives the instrument and a delivery thread that feeds the
// sink, joined by a queue of events, so the instrument never waits for the sink.
#include "zyl/Acquisition.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

#include "zyl/ZylInterface.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"

namespace zyl::acq {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReplyBytes = ZYL_SCAN_REPLY_BYTES;
constexpr size_t kV3Header = sim::kV3ScanHeaderBytes;
constexpr size_t kTrailerBytes = 70;  // readings, inputs and count beside the points
// The instrument gives one point per 8192 position-milliseconds of sweep.
constexpr double kPositionMsPerPoint = 8192;
constexpr uint32_t kMaxScanTimeMs = 14784957;  // the largest the scan command's ticks can carry
constexpr long kPiece = 256 * 1024;

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

using Event = std::variant<Spectrum, Gap, StatusSample>;

}  // namespace

const char* endingName(Ending e) {
  switch (e) {
    case Ending::Completed:
      return "completed";
    case Ending::Stopped:
      return "stopped";
    case Ending::ScanFailed:
      return "scan failed";
    case Ending::Disconnected:
      return "instrument disconnected";
    case Ending::SinkFailed:
      return "output failed";
    case Ending::TriggerTimeout:
      return "trigger timeout";
    case Ending::NotStarted:
      return "not started";
  }
  return "?";
}

std::string check(const Method& m) {
  if (m.start >= m.end)
    return "the scan range " + std::to_string(m.start) + " to " + std::to_string(m.end) +
           " is empty or reversed: the end position must be above the start";
  if (m.scanTimeMs == 0 || m.scanTimeMs > kMaxScanTimeMs)
    return "a scan time of " + std::to_string(m.scanTimeMs) + " ms is outside 1 to " +
           std::to_string(kMaxScanTimeMs) + " ms";
  const double points = double(m.end - m.start) * m.scanTimeMs / kPositionMsPerPoint;
  if (points * 4 + kTrailerBytes + kV3Header > double(kReplyBytes))
    return "a scan of " + std::to_string(m.end - m.start) + " positions in " +
           std::to_string(m.scanTimeMs) + " ms would give " +
           std::to_string(static_cast<uint64_t>(points)) +
           " points, more than one scan reply holds (" +
           std::to_string((kReplyBytes - kTrailerBytes - kV3Header) / 4) +
           "): shorten the time or narrow the range";
  if (m.scans == 0 && m.duration.count() <= 0)
    return "neither a number of scans nor a duration above 0 was given";
  if (m.trigger.kind != StartTrigger::Immediate &&
      (m.trigger.channel < 0 || m.trigger.channel > 15))
    return "trigger input " + std::to_string(m.trigger.channel) +
           " is not a digital input channel (0-15)";
  return {};
}

void fillSpectrum(Spectrum& s, const uint32_t* counts, size_t n, const MassCalibration& cal) {
  s.mz.resize(n);
  s.intensity.resize(n);
  cal.apply(s.start, s.end, s.scanTimeMs, n, s.mz.data());
  s.calibrated = !cal.empty();
  double tic = 0;
  size_t top = 0;
  for (size_t i = 0; i < n; ++i) {
    s.intensity[i] = static_cast<float>(counts[i]);
    tic += counts[i];
    if (counts[i] > counts[top]) top = i;
  }
  s.tic = tic;
  s.basePeakMz = n ? s.mz[top] : 0;
  s.basePeakIntensity = n ? counts[top] : 0;
}

struct Acquisition::Run {
  ZylInterface& z;
  Method method;
  Sink& sink;
  std::atomic<bool> stopRequested{false}, isRunning{false}, wasTriggered{false};
  std::atomic<uint32_t> delivered{0};
  bool started = false;
  Summary summary;

  std::mutex lock;
  std::condition_variable wake;
  std::deque<Event> events;
  bool producerDone = false;
  bool sinkRefused = false;
  std::thread producer, consumer;

  Clock::time_point t0;
  uint32_t nextIndex = 0;
  std::vector<uint32_t> counts;

  Run(ZylInterface& zi, Method m, Sink& s) : z(zi), method(std::move(m)), sink(s) {}

  void post(Event e) {
    {
      std::lock_guard<std::mutex> g(lock);
      events.push_back(std::move(e));
    }
    wake.notify_all();
  }
  bool sinkFailed() {
    std::lock_guard<std::mutex> g(lock);
    return sinkRefused;
  }

  StatusSample sample() const {
    StatusSample s;
    s.time = seconds(Clock::now() - t0);
    s.pressureMbar = z.pressureMbar.load();
    s.pumpSpeed = z.pumpSpeed.load();
    s.pumpRunning = z.pumpRunning.load();
    s.capillaryC = z.capillaryReadback.load();
    s.desolvationC = z.desolvationReadback.load();
    s.apciC = z.apciReadback.load();
    return s;
  }

  // The delivery thread: events in order, and a status sample once a second.
  void deliver() {
    auto nextSample = Clock::now();
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      if (events.empty() && !producerDone) wake.wait_until(g, nextSample);
      if (wasTriggered && Clock::now() >= nextSample) {
        nextSample += std::chrono::seconds(1);
        g.unlock();
        sink.onStatus(sample());
        g.lock();
        continue;
      }
      if (!wasTriggered) nextSample = Clock::now() + std::chrono::seconds(1);
      if (events.empty()) {
        if (producerDone) break;
        continue;
      }
      Event e = std::move(events.front());
      events.pop_front();
      g.unlock();
      bool ok = true;
      if (auto* s = std::get_if<Spectrum>(&e)) {
        ok = sinkRefused ? true : sink.onSpectrum(*s);
        if (ok) ++delivered;
      } else if (auto* gap = std::get_if<Gap>(&e)) {
        sink.onGap(*gap);
      } else {
        sink.onStatus(std::get<StatusSample>(e));
      }
      g.lock();
      if (!ok) sinkRefused = true;
    }
    g.unlock();
    sink.onEnd(summary);
    isRunning = false;
  }

  bool shouldStop() const { return stopRequested.load(); }

  // True while a scan already counted may still start at `when`.
  bool stillWanted(Clock::time_point when) {
    if (shouldStop() || sinkFailed()) return false;
    return method.scans || when - t0 < method.duration;
  }
  // True while another scan may start at `when`.
  bool another(Clock::time_point when) {
    return stillWanted(when) && (!method.scans || nextIndex < method.scans);
  }

  bool waitForTrigger() {
    const StartTrigger& t = method.trigger;
    if (t.kind == StartTrigger::Immediate) return true;
    const bool v3 = z.IsV3();
    const auto began = Clock::now();
    auto level = [&]() -> int {
      if (!v3 && z.ForceStatusUpdate() != 0) return -1;
      return (z.digitalInputs.load() >> t.channel) & 1;
    };
    int last = level();
    while (!shouldStop()) {
      if (t.timeout.count() > 0 && Clock::now() - began >= t.timeout) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const int now = level();
      if (now < 0) continue;
      if (last >= 0 && now != last && (now == 1) == (t.kind == StartTrigger::RisingEdge))
        return true;
      last = now;
    }
    return false;
  }

  void gap(uint32_t index, std::string reason) {
    ++summary.gaps;
    post(Gap{index, seconds(Clock::now() - t0), std::move(reason)});
  }

  void spectrum(uint32_t index, double startTime, uint16_t start, uint16_t end, const uint32_t* c,
                size_t n) {
    Spectrum s;
    s.index = index;
    s.startTime = startTime;
    s.start = start;
    s.end = end;
    s.scanTimeMs = method.scanTimeMs;
    s.positive = method.normalPolarity;
    fillSpectrum(s, c, n, method.calibration);
    ++summary.spectra;
    summary.scanSeconds += method.scanTimeMs / 1000.0;
    post(std::move(s));
  }

  // After a failed scan: whether to go on; sets the ending when not.
  bool afterFailure(const std::string& why) {
    const CommunicationState state = z.TestConnection();
    if (state != CommConnected && state != CommInitialized) {
      end(Ending::Disconnected, "the instrument stopped answering after: " + why);
      return false;
    }
    if (method.onGap == GapPolicy::Stop) {
      end(Ending::ScanFailed, why);
      return false;
    }
    return true;
  }

  bool endSet = false;
  void end(Ending e, std::string message) {
    if (endSet) return;
    endSet = true;
    summary.ending = e;
    summary.message = std::move(message);
  }

  void runOlder() {
    HGLOBAL block = GlobalAlloc(GHND, kReplyBytes);
    if (!block) return end(Ending::NotStarted, "no memory for the scan data");
    while (another(Clock::now())) {
      const uint32_t index = nextIndex++;
      const double at = seconds(Clock::now() - t0);
      unsigned int points = 0;
      const unsigned int st =
          z.PerformScan(method.start, method.end, method.scanTimeMs, block, 0, &points);
      if (st != 0) {
        gap(index, "the scan failed with status " + std::to_string(st));
        if (!afterFailure("scan " + std::to_string(index) + " failed with status " +
                          std::to_string(st)))
          break;
        continue;
      }
      const void* data = GlobalLock(block);
      counts.resize(points);
      if (data) std::memcpy(counts.data(), data, size_t{points} * 4);
      GlobalUnlock(block);
      spectrum(index, at, method.start, method.end, counts.data(), points);
    }
    GlobalFree(block);
  }

  // Reads one V3 scan message into `buf`; its length, or 0 when none came.
  size_t readMessage(std::vector<uint8_t>& buf) {
    size_t received = 0, expected = buf.size();
    int timeoutMs = static_cast<int>(method.scanTimeMs) * 2 + 1000;
    while (received < expected) {
      long length = std::min<long>(kPiece, static_cast<long>(expected - received));
      if (z.ZylUSBGetScanData(buf.data() + received, length, timeoutMs) != 0 || length <= 0)
        return received >= kV3Header ? received : 0;
      received += static_cast<size_t>(length);
      if (received >= kV3Header && expected == buf.size())
        expected = std::min(buf.size(),
                            kV3Header + 4 * size_t{le32(buf.data() + sim::kV3ScanCountOffset)});
      timeoutMs = 1000;
    }
    return received;
  }

  void runV3() {
    std::vector<uint8_t> buf(kReplyBytes);
    struct Queued {
      uint32_t index;
      Clock::time_point start;
    };
    std::deque<Queued> inFlight;  // oldest first: the scan running, then at most one queued
    auto restart = [&]() -> bool {
      z.ClearScanQueue();
      return z.initializeScanReading() == 0;
    };
    // A scan queued behind another starts when that one's data arrive (set below).
    auto enqueue = [&] {
      z.PerformScanHS(1, method.start, method.end, method.scanTimeMs, 0, method.normalPolarity);
      inFlight.push_back({nextIndex++, Clock::now()});
    };
    if (!restart()) return end(Ending::Disconnected, "the scan pipe cannot be opened");
    if (!another(t0)) return;
    enqueue();
    uint32_t expectSequence = 0;
    bool haveSequence = false;
    while (!inFlight.empty()) {
      // Keep the instrument busy: queue the next scan before reading this one.
      if (inFlight.size() == 1 && another(Clock::now())) enqueue();
      const size_t got = readMessage(buf);
      const auto arrived = Clock::now();
      const Queued scan = inFlight.front();
      inFlight.pop_front();
      if (!inFlight.empty()) inFlight.front().start = std::max(inFlight.front().start, arrived);
      bool ok = got >= kV3Header && std::memcmp(buf.data(), "ZSCN", 4) == 0;
      std::string why = got == 0 ? "no scan data arrived" : "the scan data were not readable";
      if (ok) {
        const uint32_t sequence = le32(buf.data() + 4);
        if (haveSequence && sequence != expectSequence) {
          ok = false;
          why = "the instrument's scan sequence jumped from " + std::to_string(expectSequence) +
                " to " + std::to_string(sequence);
        } else {
          const size_t n =
              std::min<size_t>(le32(buf.data() + sim::kV3ScanCountOffset), (got - kV3Header) / 4);
          counts.resize(n);
          for (size_t i = 0; i < n; ++i)
            counts[i] = le32(buf.data() + kV3Header + 4 * i) ^ 0x80000000u;
          spectrum(scan.index, seconds(scan.start - t0), le16(buf.data() + 12),
                   le16(buf.data() + 14), counts.data(), n);
        }
        haveSequence = true;
        expectSequence = sequence + 1;
      }
      if (!ok) {
        gap(scan.index, why);
        for (const Queued& q : inFlight) gap(q.index, "dropped after the failed scan before it");
        inFlight.clear();
        haveSequence = false;
        if (!afterFailure("scan " + std::to_string(scan.index) + ": " + why)) return;
        if (!restart()) return end(Ending::Disconnected, "the scan pipe cannot be opened");
        if (another(Clock::now())) enqueue();
        continue;
      }
      if (!inFlight.empty() && !stillWanted(arrived)) {
        // The scan queued ahead is no longer wanted: drop it, and whatever it streamed.
        restart();
        nextIndex -= static_cast<uint32_t>(inFlight.size());
        inFlight.clear();
      }
    }
  }

  void produce() {
    // V3 firmware reports inputs and readings only through its status stream.
    const bool ownStream = z.IsV3() && !z.statusReportingEnabled.load();
    if (ownStream) z.EnableStatusReporting(true);
    const bool fired = waitForTrigger();
    if (!fired) {
      end(shouldStop() ? Ending::Stopped : Ending::TriggerTimeout,
          shouldStop() ? "stopped before the trigger came"
                       : "the trigger on input " + std::to_string(method.trigger.channel) +
                             " did not come in time");
    } else {
      t0 = Clock::now();  // before the flag: the delivery thread reads it once the flag is set
      wasTriggered = true;
      wake.notify_all();
      if (z.IsV3())
        runV3();
      else
        runOlder();
      summary.elapsed = seconds(Clock::now() - t0);
      if (sinkFailed())
        end(Ending::SinkFailed, "the output refused a spectrum");
      else if (shouldStop())
        end(Ending::Stopped, "stopped after the scan in flight");
      else
        end(Ending::Completed, method.scans ? "the scans were acquired" : "the duration ended");
    }
    if (ownStream) z.EnableStatusReporting(false);
    {
      std::lock_guard<std::mutex> g(lock);
      producerDone = true;
    }
    wake.notify_all();
  }
};

Acquisition::Acquisition(ZylInterface& z, Method method, Sink& sink)
    : run_(std::make_unique<Run>(z, std::move(method), sink)) {}

Acquisition::~Acquisition() {
  stop();
  wait();
}

bool Acquisition::start() {
  Run& r = *run_;
  if (r.started) return false;
  if (std::string why = check(r.method); !why.empty()) {
    r.end(Ending::NotStarted, why);
    return false;
  }
  const CommunicationState state = r.z.GetCommunicationState();
  if (state != CommConnected && state != CommInitialized) {
    r.end(Ending::NotStarted, "the instrument is not connected");
    return false;
  }
  r.started = true;
  r.isRunning = true;
  r.consumer = std::thread([&r] { r.deliver(); });
  r.producer = std::thread([&r] { r.produce(); });
  return true;
}

void Acquisition::stop() {
  run_->stopRequested = true;
}

bool Acquisition::running() const {
  return run_->isRunning;
}

uint32_t Acquisition::spectraSoFar() const {
  return run_->delivered;
}

bool Acquisition::triggered() const {
  return run_->wasTriggered;
}

Summary Acquisition::wait() {
  Run& r = *run_;
  if (r.producer.joinable()) r.producer.join();
  if (r.consumer.joinable()) r.consumer.join();
  return r.summary;
}

}  // namespace zyl::acq
