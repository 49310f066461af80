// zyl acquire: a run of scans into an mzML file; zyl calibrate: the mass calibration from a scan
// of a calibrant.
#include "tools/zyl/acquire.h"

#include <atomic>
#include <cmath>
#include <codecvt>
#include <cstdio>
#include <locale>
#include <mutex>
#include <thread>

#include "tools/zyl/interrupt.h"
#include "tools/zyl/progress.h"
#include "zyl/Acquisition.h"
#include "zyl/sim/Scan.h"

namespace zyl::tool {
namespace {

using namespace std::chrono_literals;

struct AcquireArgs {
  int from = 0, to = 0;
  unsigned int timeMs = 0;
  unsigned int scans = 0;
  std::string duration;
  int triggerInput = -1;
  std::string edge = "rising";
  double triggerTimeoutS = 0;
  bool centroid = false, negative = false, stopOnGap = false;
  std::string calibration, out;
};

// "10m", "30s", "500ms", "2h" or plain seconds; nothing when it is none of them or not above 0.
std::optional<std::chrono::milliseconds> parseDuration(const std::string& text) {
  size_t used = 0;
  double v = 0;
  try {
    v = std::stod(text, &used);
  } catch (...) {
    return std::nullopt;
  }
  const std::string unit = text.substr(used);
  const double scale = unit == "ms"                ? 1
                       : unit == "" || unit == "s" ? 1000
                       : unit == "m"               ? 60000
                       : unit == "h"               ? 3600000
                                                   : -1;
  if (scale < 0 || !std::isfinite(v) || v * scale < 1 || v * scale > 1e10) return std::nullopt;
  return std::chrono::milliseconds(static_cast<int64_t>(v * scale));
}

std::string narrow(const wchar_t* w) {
  std::string out;
  for (; w && *w; ++w) out += *w < 128 ? static_cast<char>(*w) : '?';
  return out;
}

std::string number(double v, const char* unit) {
  char text[48];
  std::snprintf(text, sizeof text, "%g %s", v, unit);
  return text;
}

}  // namespace

acq::MzmlInfo describeRun(ZylInterface& z, const acq::Method& m, bool centroid) {
  acq::MzmlInfo info;
  info.instrumentModel = z.GetHardwareTypeName(z.GetHardwareType());
  info.serialNumber = narrow(z.GetSerialNumber());
  info.firmware = z.firmwareVersion;
  info.centroid = centroid;
  info.calibration = m.calibration;
  auto heater = [&](const char* name, uint8_t on, float setpoint) {
    info.sourceSettings.emplace_back(std::string(name) + " heater",
                                     on ? "on, set-point " + number(setpoint, "C") : "off");
  };
  heater("capillary", z.capillaryHeaterOn, z.capillaryHeaterSetpoint);
  heater("desolvation", z.desolvationHeaterOn, z.desolvationHeaterSetpoint);
  heater("APCI", z.apciHeaterOn, z.apciHeaterSetpoint);
  info.sourceSettings.emplace_back("polarity", m.normalPolarity ? "positive" : "negative");
  for (int ch = 0; ch < 16; ++ch) {
    const DacChannel& d = z.dacChannels[ch];
    info.sourceSettings.emplace_back(
        "DAC " + std::to_string(ch),
        (d.kind == Ramped ? "ramped base " : "fixed ") + std::to_string(d.base) +
            (d.kind == Ramped ? " span " + std::to_string(d.span) : ""));
  }
  return info;
}

namespace {

// Passes everything on to the file and keeps what the live line shows.
struct Tee : acq::Sink {
  acq::Sink& file;
  std::atomic<double> lastTic{0};
  std::atomic<uint32_t> gaps{0};
  explicit Tee(acq::Sink& f) : file(f) {}
  bool onSpectrum(const acq::Spectrum& s) override {
    lastTic = s.tic;
    return file.onSpectrum(s);
  }
  void onGap(const acq::Gap& g) override {
    ++gaps;
    file.onGap(g);
  }
};

int exitFor(acq::Ending e) {
  switch (e) {
    case acq::Ending::Completed:
      return kOk;
    case acq::Ending::Stopped:
      return kInterrupted;
    case acq::Ending::Disconnected:
      return kNoInstrument;
    case acq::Ending::SinkFailed:
      return kUsage;
    default:
      return kRefused;
  }
}

// Runs `method` into `sink` with a live line; Ctrl-C asks the run to stop after the scan in
// flight.
acq::Summary runLive(ZylInterface& z, const acq::Method& m, acq::Sink& sink, const char* label,
                     const std::function<double()>& tic, const std::function<uint32_t()>& gaps) {
  acq::Acquisition run(z, m, sink);
  if (!run.start()) return run.wait();
  Spinner spinner(label);
  auto firstScan = std::chrono::steady_clock::time_point{};
  while (run.running()) {
    if (interrupted()) run.stop();
    const uint32_t n = run.spectraSoFar();
    if (!run.triggered()) {
      spinner.update("waiting for the trigger on input " + std::to_string(m.trigger.channel));
    } else {
      if (firstScan == std::chrono::steady_clock::time_point{})
        firstScan = std::chrono::steady_clock::now();
      const double t =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - firstScan).count();
      const std::string gapText = gaps() ? ", " + std::to_string(gaps()) + " gaps" : "";
      char line[160];
      std::snprintf(line, sizeof line, "%u scans%s, %.2f scans/s, TIC %.4g", n, gapText.c_str(),
                    t > 0 ? n / t : 0.0, tic());
      spinner.update(line);
    }
    std::this_thread::sleep_for(100ms);
  }
  const acq::Summary s = run.wait();
  spinner.finish();
  return s;
}

int runAcquire(Session& session, const AcquireArgs& a) {
  acq::Method m;
  m.start = static_cast<uint16_t>(a.from);
  m.end = static_cast<uint16_t>(a.to);
  m.scanTimeMs = a.timeMs;
  m.scans = a.scans;
  m.normalPolarity = !a.negative;
  m.onGap = a.stopOnGap ? acq::GapPolicy::Stop : acq::GapPolicy::GoOn;
  if (!a.duration.empty()) m.duration = *parseDuration(a.duration);
  if (a.triggerInput >= 0) {
    m.trigger.kind =
        a.edge == "falling" ? acq::StartTrigger::FallingEdge : acq::StartTrigger::RisingEdge;
    m.trigger.channel = a.triggerInput;
    m.trigger.timeout = std::chrono::milliseconds(static_cast<int64_t>(a.triggerTimeoutS * 1000));
  }
  if (std::string why = acq::check(m); !why.empty()) return session.fail(kUsage, why);
  std::string origin;
  if (!a.calibration.empty()) {
    std::string why;
    auto cal = acq::MassCalibration::fromFile(a.calibration, &why);
    if (!cal) return session.fail(kUsage, "--calibration: " + why);
    m.calibration = *cal;
    origin = a.calibration;
  }
  if (auto failed = session.requireInstrument()) return *failed;
  ZylInterface& z = session.instrument();
  if (m.calibration.empty()) {
    m.calibration = acq::storedCalibration(z);
    if (!m.calibration.empty()) origin = "the instrument's default tune (group A)";
  }
  acq::MzmlInfo info = describeRun(z, m, a.centroid);
  info.calibrationOrigin = origin;
  std::string why;
  auto writer = acq::MzmlWriter::open(a.out, info, &why);
  if (!writer) return session.fail(kUsage, why);
  Tee tee(*writer);
  const acq::Summary s = runLive(
      z, m, tee, "acquire", [&] { return tee.lastTic.load(); }, [&] { return tee.gaps.load(); });
  const bool closed = writer->close();
  nlohmann::ordered_json result = {
      {"out", a.out},
      {"ending", acq::endingName(s.ending)},
      {"message", s.message},
      {"spectra", writer->written()},
      {"gaps", s.gaps},
      {"elapsed_s", std::round(s.elapsed * 1000) / 1000},
      {"scans_per_s", s.elapsed > 0 ? std::round(s.spectra / s.elapsed * 1000) / 1000 : 0.0},
      {"m/z axis", m.calibration.empty() ? "scan positions (no calibration)" : origin},
      {"centroid", a.centroid}};
  if (!writer->error().empty()) result["write_error"] = writer->error();
  session.print(result);
  if (!closed) return session.fail(kUsage, writer->error());
  if (s.ending == acq::Ending::Completed) return kOk;
  return session.fail(static_cast<Exit>(exitFor(s.ending)),
                      std::string("the run ended early (") + acq::endingName(s.ending) +
                          "): " + s.message + "; " + a.out + " holds the " +
                          std::to_string(writer->written()) + " spectra acquired");
}

// ---- calibrate ------------------------------------------------------------------------------

struct CalibrateArgs {
  std::string reference;
  int from = 1000, to = 60000;
  unsigned int timeMs = 500;
  int segments = 3;
  bool save = false;
  std::string group = "A";
};

struct Keep : acq::Sink {
  std::optional<acq::Spectrum> last;
  bool onSpectrum(const acq::Spectrum& s) override {
    last = s;
    return true;
  }
};

std::optional<acq::Spectrum> oneScan(ZylInterface& z, acq::Method m, std::string& why) {
  m.scans = 1;
  Keep keep;
  acq::Acquisition run(z, m, keep);
  run.start();
  const acq::Summary s = run.wait();
  if (!keep.last) why = "the scan failed: " + s.message;
  return keep.last;
}

int runCalibrate(Session& session, const CalibrateArgs& a) {
  std::vector<double> reference;
  if (!a.reference.empty()) {
    std::string why;
    auto list = acq::readReferenceList(a.reference, &why);
    if (!list) return session.fail(kUsage, "--reference: " + why);
    reference = *list;
  } else if (simulated(session.options())) {
    reference.assign(sim::kCalibrantMz.begin(), sim::kCalibrantMz.end());
  } else {
    return session.fail(kUsage, "--reference FILE is needed: the calibrant's m/z values");
  }
  if (reference.size() < size_t(a.segments) + 1)
    return session.fail(kUsage, "the reference list has " + std::to_string(reference.size()) +
                                    " peaks, too few for " + std::to_string(a.segments) +
                                    " segments (at least " + std::to_string(a.segments + 1) + ")");
  acq::Method m;
  m.start = static_cast<uint16_t>(a.from);
  m.end = static_cast<uint16_t>(a.to);
  m.scanTimeMs = a.timeMs;
  m.scans = 1;
  if (std::string why = acq::check(m); !why.empty()) return session.fail(kUsage, why);
  if (auto failed = session.requireInstrument()) return *failed;
  ZylInterface& z = session.instrument();
  std::string why;
  auto scan = oneScan(z, m, why);
  if (!scan) return session.fail(kRefused, why);
  const acq::CalibrationFit fit = acq::fitCalibration(*scan, reference, a.segments);
  if (!fit.speed) return session.fail(kRefused, "calibration failed: " + fit.error);
  // Check it on a new scan, as an acquisition would use it.
  m.calibration.speeds = {*fit.speed};
  auto check = oneScan(z, m, why);
  if (!check) return session.fail(kRefused, why);
  const auto measured = acq::measureCalibrant(*check, reference, 1.0);
  nlohmann::ordered_json peaks = nlohmann::json::array();
  double worst = 0;
  size_t missing = 0;
  for (size_t i = 0; i < reference.size(); ++i) {
    const acq::CalibrantMatch& f = fit.matches[i];
    const acq::CalibrantMatch& v = measured[i];
    nlohmann::ordered_json p = {{"reference_mz", reference[i]}};
    if (f.found) {
      p["position"] = std::round(f.position * 10) / 10;
      p["fit_residual"] = std::round(f.residual() * 1e4) / 1e4;
    }
    if (v.found) {
      p["new_scan_error"] = std::round(v.residual() * 1e4) / 1e4;
      worst = std::max(worst, std::abs(v.residual()));
    } else {
      ++missing;
    }
    peaks.push_back(p);
  }
  nlohmann::ordered_json result = {{"peaks", peaks},
                                   {"segments", a.segments},
                                   {"speed_positions_per_s", fit.speed->speed},
                                   {"worst_error_mz", std::round(worst * 1e4) / 1e4},
                                   {"calibrant_peaks_missing_in_new_scan", missing}};
  if (a.save) {
    const bool groupA = a.group == "A";
    std::vector<char> text(10240 + 1, '\0');
    if (!z.GetDefaultTuneParameters(text.data(), groupA, false))
      return session.fail(kRefused, "the instrument's default tune could not be read");
    acq::MassCalibration stored = acq::storedCalibration(z, groupA, false);
    // This scan speed's calibration replaces one of (nearly) the same speed; others stay.
    std::erase_if(stored.speeds, [&](const acq::SpeedCalibration& s) {
      return std::abs(s.speed - fit.speed->speed) <= 0.01 * fit.speed->speed;
    });
    stored.speeds.push_back(*fit.speed);
    std::string doc = stored.mergedInto(text.data());
    if (z.SetDefaultTuneParameters(doc.data(), groupA, false) != 0)
      return session.fail(kRefused,
                          "the instrument refused the tune document with the calibration");
    if (unsigned int st = z.SaveDefaultTuneIonSettings(); st != 0)
      return session.result(st, "saving the default tune");
    result["saved"] = std::string("default tune, group ") + a.group;
  }
  session.print(result);
  return kOk;
}

}  // namespace

void addAcquireCommands(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(
      app, "acquire", "Record a run of back-to-back scans into an mzML file",
      "zyl --sim --sim-time-scale 10 acquire --from 1000 --to 60000 --time 500 --scans 50 "
      "--out run.mzML");
  auto a = std::make_shared<AcquireArgs>();
  cmd->add_option("--from", a->from, "Start position (0-65535)")
      ->required()
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--to", a->to, "End position (0-65535), above the start")
      ->required()
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--time", a->timeMs, "Scan time in ms")->required()->check(CLI::PositiveNumber);
  auto* scans = cmd->add_option("--scans", a->scans, "Number of scans")->check(CLI::PositiveNumber);
  auto* duration = cmd->add_option("--duration", a->duration,
                                   "Run for this long: 10m, 30s, 500ms, 2h (no scan starts "
                                   "after it)");
  scans->excludes(duration);
  cmd->add_option("--trigger-input", a->triggerInput,
                  "Wait for an edge on this digital input (0-15) before the first scan");
  cmd->add_option("--trigger-edge", a->edge, "rising (default) or falling")
      ->check(CLI::IsMember({"rising", "falling"}));
  cmd->add_option("--trigger-timeout", a->triggerTimeoutS,
                  "Give up waiting for the trigger after this many seconds (default: wait)");
  cmd->add_flag("--centroid", a->centroid, "Write centroided spectra instead of profiles");
  cmd->add_flag("--negative", a->negative, "Scan with inverted polarity");
  cmd->add_flag("--stop-on-gap", a->stopOnGap, "End the run at the first failed scan");
  cmd->add_option("--calibration", a->calibration,
                  "Mass calibration file (default: the instrument's default tune, if it has one)");
  cmd->add_option("--out", a->out, "The mzML file (written as FILE.partial until it is complete)")
      ->required();
  cmd->callback([&run, a, scans, duration] {
    if (a->from >= a->to)
      throw CLI::ValidationError("--to", "the end position " + std::to_string(a->to) +
                                             " is not above the start position " +
                                             std::to_string(a->from));
    if (!scans->count() && !duration->count())
      throw CLI::ValidationError("--scans", "give --scans N or --duration (e.g. 10m)");
    if (duration->count() && !parseDuration(a->duration))
      throw CLI::ValidationError("--duration", "\"" + a->duration +
                                                   "\" is not a duration above 0 such as 10m, "
                                                   "30s, 500ms or 2h");
    if (a->triggerInput != -1 && (a->triggerInput < 0 || a->triggerInput > 15))
      throw CLI::ValidationError(
          "--trigger-input", std::to_string(a->triggerInput) + " is not a digital input (0-15)");
    run = [a](Session& session) { return runAcquire(session, *a); };
  });

  CLI::App* cal = addCommand(app, "calibrate",
                             "Fit the mass calibration to a scan of a calibrant; --save stores "
                             "it in the default tune",
                             "zyl --sim calibrate --save --group A");
  auto c = std::make_shared<CalibrateArgs>();
  cal->add_option("--reference", c->reference,
                  "The calibrant's m/z values, one per line (default with --sim: the simulated "
                  "calibrant)");
  cal->add_option("--from", c->from, "Start position (default 1000)")->check(CLI::Range(0, 65535));
  cal->add_option("--to", c->to, "End position (default 60000)")->check(CLI::Range(0, 65535));
  cal->add_option("--time", c->timeMs, "Scan time in ms (default 500)")->check(CLI::PositiveNumber);
  cal->add_option("--segments", c->segments, "Segments of the calibration (default 3)")
      ->check(CLI::Range(1, 16));
  cal->add_flag("--save", c->save, "Store the calibration in the instrument's default tune");
  cal->add_option("--group", c->group, "Default tune group to store it in: A (default) or B")
      ->check(CLI::IsMember({"A", "B"}));
  cal->callback([&run, c] {
    if (c->from >= c->to)
      throw CLI::ValidationError("--to", "the end position is not above the start position");
    run = [c](Session& session) { return runCalibrate(session, *c); };
  });
}

}  // namespace zyl::tool
