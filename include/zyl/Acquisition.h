// Runs of scans over time, above ZylInterface: a host of the instrument object like any other.
//
// An Acquisition takes a Method and a Sink, waits for its start trigger, then runs scans back to
// back on a thread of its own until the method's scan count or duration is reached, stop() is
// called, the instrument goes away or a failed scan stops it (GapPolicy::Stop). Each spectrum, gap
// and once-a-second status sample goes to the sink, in order, on a second thread of the run
// (the delivery thread), so a slow sink delays nothing on the instrument: the scans keep running
// and what the sink has not taken yet waits in memory. While a run lasts, the run owns the
// instrument object: the host calls nothing else on it until wait() has returned.
//
// Both generations: V3 firmware queues each scan (PerformScanHS) one scan ahead of the one being
// read from the scan pipe, so the instrument never waits for the host; older firmware runs
// PerformScan back to back. V3 scan data are read in the simulated instrument's layout
// (zyl/sim/Scan.h), the only V3 layout this library knows.
//
// Choices made here:
//  - Spectrum index: every scan the run starts has the next index from 0, whether it gives a
//    spectrum or a gap, so a gap shows where a scan is missing.
//  - Duration: no scan starts once the duration has passed since the first scan began; the scan
//    in flight completes. A stop request ends the run the same way.
//  - A gap's policy decides what follows; a failed scan after which the instrument no longer
//    answers ends the run as Ending::Disconnected whatever the policy.
//  - Start time: seconds from the moment the first scan was sent, as the instrument's own clock
//    cannot be read; on V3 a queued scan's start is the previous scan's end.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ZylInterface;

namespace zyl::acq {

// ---- Mass calibration ------------------------------------------------------------------------
// Position to m/z, piecewise: a segment covers positions [from, to] and gives
// m/z = c0 + c1 p + c2 p^2 (p the scan position, 0-65535). Segments are grouped per scan speed
// (positions per second) because the instrument's mass axis shifts with the sweep rate; a scan
// uses the speed calibration nearest its own speed. Stored as XML (see the README):
//   <massCalibration><calibration speed="118000">
//     <segment from="0" to="21845" c0=".." c1=".." c2=".."/> ...
//   </calibration></massCalibration>
// inside the instrument's default tune document ("tuneParameters") or on its own in a file.
struct CalibrationSegment {
  double from = 0, to = 65535;
  double c0 = 0, c1 = 0, c2 = 0;
  double mz(double position) const { return c0 + position * (c1 + position * c2); }
};

struct SpeedCalibration {
  double speed = 0;  // positions per second of the scans it was fitted on
  std::vector<CalibrationSegment> segments;
};

class MassCalibration {
 public:
  std::vector<SpeedCalibration> speeds;

  bool empty() const { return speeds.empty(); }
  // The speed calibration for a scan of `positionsPerSecond`: the nearest; null when empty.
  const SpeedCalibration* forSpeed(double positionsPerSecond) const;
  // m/z of the n points of a scan from `start` to `end` lasting `scanTimeMs` into `mz` (n values;
  // point i at start + (end - start) i / n). Positions beyond the outer segments use the nearest
  // segment. Without calibration the positions themselves.
  void apply(uint16_t start, uint16_t end, uint32_t scanTimeMs, size_t n, double* mz) const;

  // Reads the XML form: a "massCalibration" element anywhere in the document (a tune document or a
  // file of its own). Nothing, with `why` set, when the text is not one.
  static std::optional<MassCalibration> fromXml(std::string_view xml, std::string* why);
  static std::optional<MassCalibration> fromFile(const std::string& path, std::string* why);
  // The "massCalibration" element (no declaration).
  std::string toXml() const;
  // `tuneXml` (a tune document, or empty for a new one) with its mass calibration replaced.
  std::string mergedInto(std::string_view tuneXml) const;
};

// The mass calibration of the instrument's default tune document in slot (groupA, alternate);
// empty when the slot has none.
MassCalibration storedCalibration(ZylInterface& z, bool groupA = true, bool alternate = false);

// ---- Method ---------------------------------------------------------------------------------
enum class GapPolicy { GoOn, Stop };

struct StartTrigger {
  enum Kind { Immediate, RisingEdge, FallingEdge } kind = Immediate;
  int channel = 0;                       // digital input 0-15
  std::chrono::milliseconds timeout{0};  // 0: wait until stopped
};

struct Method {
  uint16_t start = 1000, end = 60000;  // scan positions, start below end
  uint32_t scanTimeMs = 500;           // 1 to 15728 (the scan command's tick count is 32-bit)
  bool normalPolarity = true;
  uint32_t scans = 0;  // number of scans, or 0 to run for `duration`
  std::chrono::milliseconds duration{0};
  StartTrigger trigger;
  GapPolicy onGap = GapPolicy::GoOn;
  MassCalibration calibration;  // empty: spectra on the position axis
};

// Empty when the method can run, else why not (one sentence).
std::string check(const Method& m);

// ---- What a run delivers --------------------------------------------------------------------
struct Spectrum {
  uint32_t index = 0;
  double startTime = 0;  // seconds since the run began
  uint16_t start = 0, end = 0;
  uint32_t scanTimeMs = 0;
  bool positive = true;
  std::vector<double> mz;        // m/z, or positions without calibration
  std::vector<float> intensity;  // counts per point
  double tic = 0, basePeakMz = 0, basePeakIntensity = 0;
  bool calibrated = false;
};

struct Gap {
  uint32_t index = 0;
  double time = 0;
  std::string reason;
};

struct StatusSample {
  double time = 0;
  double pressureMbar = 0;
  int32_t pumpSpeed = 0;
  bool pumpRunning = false;
  float capillaryC = 0, desolvationC = 0, apciC = 0;
};

enum class Ending {
  Completed,       // the scan count or the duration was reached
  Stopped,         // stop() (Ctrl-C)
  ScanFailed,      // a gap under GapPolicy::Stop
  Disconnected,    // the instrument stopped answering
  SinkFailed,      // the sink refused a spectrum (e.g. its disk is full)
  TriggerTimeout,  // the start trigger did not come in time
  NotStarted       // the method or the instrument refused to start
};
const char* endingName(Ending e);

struct Summary {
  Ending ending = Ending::NotStarted;
  std::string message;  // what ended the run, in words
  uint32_t spectra = 0, gaps = 0;
  double elapsed = 0;      // seconds from the first scan to the end of the last
  double scanSeconds = 0;  // the sum of the delivered scans' own durations
};

// Receives a run's output on the run's delivery thread, in order. Return quickly; onSpectrum
// returning false ends the run (Ending::SinkFailed) after the scan in flight.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool onSpectrum(const Spectrum& s) = 0;
  virtual void onGap(const Gap&) {}
  virtual void onStatus(const StatusSample&) {}
  virtual void onEnd(const Summary&) {}
};

// ---- Run control ----------------------------------------------------------------------------
class Acquisition {
 public:
  Acquisition(ZylInterface& z, Method method, Sink& sink);
  ~Acquisition();  // stops and waits
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // Checks the method and starts the run's threads; false (and the summary says why) when it
  // cannot run. Called once.
  bool start();
  // Asks the run to end after the scan in flight; safe from any thread and a signal-watching loop.
  void stop();
  // From start() until the run has ended and the sink has had everything, onEnd included.
  bool running() const;
  // Waits until the run has ended and the sink has had everything; the summary.
  Summary wait();
  // Scans delivered so far and whether the trigger has come (for a live display).
  uint32_t spectraSoFar() const;
  bool triggered() const;

 private:
  struct Run;
  std::unique_ptr<Run> run_;
};

// ---- mzML ---------------------------------------------------------------------------------
// What a file says about the run beside its spectra.
struct MzmlInfo {
  std::string instrumentModel, serialNumber, firmware;
  // The source's settings the run used ("capillary temperature set-point" -> "200 C", ...).
  std::vector<std::pair<std::string, std::string>> sourceSettings;
  MassCalibration calibration;    // used for the m/z axis (empty: positions)
  std::string calibrationOrigin;  // where it came from, in words
  bool centroid = false;          // write centroided spectra instead of profiles
};

// A sink that writes indexed mzML 1.1 (zlib arrays, m/z 64-bit, intensity 32-bit) as spectra
// come, so memory stays flat, and a TIC chromatogram at the end. The file is written as
// PATH.partial and renamed to PATH when it is closed, on every ending (stop, duration, unplug, a
// failed scan, a full disk), so PATH is always a complete file and an earlier PATH stays as it
// was until the new one is whole. Room for the file's closing part is reserved on disk ahead, so
// a full disk ends the file after its last whole spectrum. Closed by onEnd() or close().
class MzmlWriter : public Sink {
 public:
  // Null, with `why`, when PATH.partial cannot be created or written.
  static std::unique_ptr<MzmlWriter> open(const std::string& path, MzmlInfo info, std::string* why);
  ~MzmlWriter() override;
  bool onSpectrum(const Spectrum& s) override;
  void onEnd(const Summary&) override { close(); }
  // Writes the closing part and renames; false (see error()) when that failed. Once only.
  bool close();
  const std::string& error() const;  // the first write failure, or empty
  uint32_t written() const;          // spectra in the file
  const std::string& path() const;

 private:
  struct Impl;
  explicit MzmlWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Peaks of a profile spectrum (pwiz's local-maximum detector, then each peak's centroid over the
// points above half its height), keeping those at least `minHeight` counts high.
struct Peak {
  double mz, intensity;
};
std::vector<Peak> pickPeaks(const std::vector<double>& mz, const std::vector<float>& intensity,
                            double minHeight);

// ---- Calibrating ----------------------------------------------------------------------------
// A calibrant's reference m/z list from a text file: one value per line, '#' starts a comment.
std::optional<std::vector<double>> readReferenceList(const std::string& path, std::string* why);

struct CalibrantMatch {
  double reference = 0;  // m/z
  bool found = false;    // a peak was matched to it
  double position = 0;   // the peak's centroid on the scan's axis (positions when fitting)
  double mz = 0;         // the peak's m/z: from the fitted calibration, or as measured
  double residual() const { return mz - reference; }
};

struct CalibrationFit {
  std::optional<SpeedCalibration> speed;  // nothing when the fit failed (see error)
  std::vector<CalibrantMatch> matches;    // one per reference value
  std::string error;
};

// Fits `segments` segments to a scan of the calibrant on the position axis (a spectrum of an
// uncalibrated run): picks its peaks, finds the straight line that lines most of them up with the
// reference list, refines it, then fits each segment (a quadratic, or a line where too few peaks
// fall in it) to the peaks in it and its neighbours.
CalibrationFit fitCalibration(const Spectrum& scan, std::vector<double> reference, int segments);
// The calibrant's peaks in a calibrated spectrum: for each reference, the nearest peak within
// `tolerance` m/z.
std::vector<CalibrantMatch> measureCalibrant(const Spectrum& scan,
                                             const std::vector<double>& reference,
                                             double tolerance);

// Spectra of a scan's counts: intensity, TIC, base peak and m/z from the calibration.
void fillSpectrum(Spectrum& s, const uint32_t* counts, size_t n, const MassCalibration& cal);

}  // namespace zyl::acq
