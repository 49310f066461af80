#include "tools/zyl/serve/run.h"

#include <charconv>
#include <cmath>
#include <filesystem>

#include "tools/zyl/acquire.h"

namespace zyl::serve {

using nlohmann::ordered_json;

namespace {

// Arrays of 20,000 points are written with to_chars: a tenth of the cost of a JSON document of
// doubles, and digits enough for the axis (m/z to 1e-5, positions to 1e-3, whole counts).
template <typename T>
void appendArray(std::string& out, const std::vector<T>& values, int decimals) {
  out += '[';
  char text[40];
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    const double v = std::isfinite(static_cast<double>(values[i])) ? values[i] : 0.0;
    const auto r = decimals == 0 ? std::to_chars(text, text + sizeof text, std::llround(v))
                                 : std::to_chars(text, text + sizeof text, v,
                                                 std::chars_format::fixed, decimals);
    out.append(text, r.ptr);
  }
  out += ']';
}

ordered_json scanEvent(const acq::Spectrum& s) {
  return {{"index", s.index},
          {"start_time_s", s.startTime},
          {"tic", s.tic},
          {"base_peak_mz", s.basePeakMz},
          {"base_peak_intensity", s.basePeakIntensity},
          {"points", s.intensity.size()}};
}

}  // namespace

std::string spectrumJson(const acq::Spectrum& s) {
  ordered_json head = scanEvent(s);
  head["from"] = s.start;
  head["to"] = s.end;
  head["time_ms"] = s.scanTimeMs;
  head["calibrated"] = s.calibrated;
  std::string out = head.dump();
  out.pop_back();
  out.reserve(out.size() + 16 * s.mz.size());
  out += ",\"mz\":";
  appendArray(out, s.mz, s.calibrated ? 5 : 3);
  out += ",\"intensity\":";
  appendArray(out, s.intensity, 0);
  out += '}';
  return out;
}
struct RunControl::Sink : acq::Sink {
  RunControl& control;
  explicit Sink(RunControl& c) : control(c) {}
  bool onSpectrum(const acq::Spectrum& s) override {
    const bool written = control.writer_->onSpectrum(s);
    auto kept = std::make_shared<const acq::Spectrum>(s);
    {
      std::lock_guard lock(control.latestMutex_);
      control.spectrum_ = std::move(kept);
      control.spectrumJson_.reset();
    }
    control.publish_("scan", scanEvent(s).dump());
    return written;
  }
  void onGap(const acq::Gap& g) override {
    control.writer_->onGap(g);
    control.publish_("gap", ordered_json{{"index", g.index}, {"reason", g.reason}}.dump());
  }
  void onStatus(const acq::StatusSample& sample) override {
    if (control.onStatus) control.onStatus(sample);
  }
  void onEnd(const acq::Summary& s) override {
    control.writer_->onEnd(s);
    if (control.ended_) control.ended_();
  }
};

RunControl::RunControl(ZylInterface& z, std::string folder, Publish publish,
                       std::function<void()> ended)
    : z_(z), folder_(std::move(folder)), publish_(std::move(publish)), ended_(std::move(ended)) {}

RunControl::~RunControl() {
  stop();
  std::lock_guard lock(mutex_);
  if (run_) run_->wait();
}

void RunControl::setState(const ordered_json& state) {
  std::string text = state.dump();
  {
    std::lock_guard lock(latestMutex_);
    state_ = text;
  }
  publish_("run", text);
}

std::string RunControl::state() const {
  std::lock_guard lock(latestMutex_);
  return state_;
}

std::variant<ordered_json, Refusal> RunControl::start(const RunRequest& request) {
  std::lock_guard lock(mutex_);
  if (active_) return Refusal{409, "a run is acquiring already: stop it first"};
  acq::Method m;
  m.start = static_cast<uint16_t>(request.from);
  m.end = static_cast<uint16_t>(request.to);
  m.scanTimeMs = request.timeMs;
  m.scans = request.scans;
  m.duration = std::chrono::milliseconds(static_cast<int64_t>(request.durationS * 1000));
  if (std::string why = acq::check(m); !why.empty()) return Refusal{400, why};
  const std::string path = (std::filesystem::path(folder_) / request.out).string();
  std::error_code ec;
  if (std::filesystem::exists(path, ec) || std::filesystem::exists(path + ".partial", ec))
    return Refusal{409, request.out + " exists in the run folder: choose another name"};
  m.calibration = acq::storedCalibration(z_);
  acq::MzmlInfo info = tool::describeRun(z_, m, request.centroid);
  if (!m.calibration.empty()) info.calibrationOrigin = "the instrument's default tune (group A)";
  std::string why;
  auto writer = acq::MzmlWriter::open(path, info, &why);
  if (!writer) return Refusal{409, why};
  writer_ = std::move(writer);
  sink_ = std::make_unique<Sink>(*this);
  run_ = std::make_unique<acq::Acquisition>(z_, m, *sink_);
  if (!run_->start()) {
    const acq::Summary s = run_->wait();
    writer_->close();
    std::filesystem::remove(path, ec);
    run_.reset();
    sink_.reset();
    writer_.reset();
    return Refusal{409, "the run did not start: " + s.message};
  }
  active_ = true;
  out_ = request.out;
  {
    std::lock_guard latest(latestMutex_);
    spectrum_.reset();
    spectrumJson_.reset();
  }
  ordered_json started = {
      {"running", true},
      {"out", out_},
      {"scans", m.scans},
      {"m/z axis", m.calibration.empty() ? "scan positions (no calibration)" : "calibrated"}};
  setState(started);
  return started;
}

bool RunControl::stop() {
  std::lock_guard lock(mutex_);
  if (!run_ || !active_) return false;
  run_->stop();
  return true;
}

void RunControl::finish() {
  {
    std::lock_guard lock(mutex_);
    if (!run_) return;
    run_->stop();
    run_->wait();
  }
  collect();
}

void RunControl::collect() {
  std::lock_guard lock(mutex_);
  if (!run_ || run_->running()) return;
  const acq::Summary s = run_->wait();
  const bool closed = writer_->close() || writer_->error().empty();
  ordered_json ended = {{"running", false},
                        {"out", out_},
                        {"ending", acq::endingName(s.ending)},
                        {"message", s.message},
                        {"spectra", writer_->written()},
                        {"gaps", s.gaps},
                        {"elapsed_s", s.elapsed}};
  if (!closed) ended["write_error"] = writer_->error();
  run_.reset();
  sink_.reset();
  writer_.reset();
  active_ = false;
  setState(ended);
}

std::shared_ptr<const std::string> RunControl::latestSpectrum() {
  std::shared_ptr<const acq::Spectrum> spectrum;
  {
    std::lock_guard lock(latestMutex_);
    if (spectrumJson_ || !spectrum_) return spectrumJson_;
    spectrum = spectrum_;
  }
  // Formatted outside the lock, so the run's delivery thread never waits for it.
  auto json = std::make_shared<const std::string>(spectrumJson(*spectrum));
  std::lock_guard lock(latestMutex_);
  if (spectrum_ == spectrum) spectrumJson_ = json;
  return json;
}

}  // namespace zyl::serve
