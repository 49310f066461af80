// A run started from the page: the acquisition layer's run writing an mzML file in the server's
// run folder, each scan announced on the live stream as it comes and its spectrum kept for the
// page to fetch (formatted once, when first asked for).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "tools/zyl/serve/requests.h"
#include "zyl/Acquisition.h"

namespace zyl::serve {

class RunControl {
 public:
  using Publish = std::function<void(const std::string& event, const std::string& data)>;
  // `ended` is called on the run's delivery thread once the run has ended (so that collect() is
  // called soon); `status` with each of the run's status samples.
  RunControl(ZylInterface& z, std::string folder, Publish publish, std::function<void()> ended);
  ~RunControl();  // stops a run and waits for its file

  // With the instrument held by the caller. The started run's description, or why not.
  std::variant<nlohmann::ordered_json, Refusal> start(const RunRequest& request);
  // False when no run acquires.
  bool stop();
  // True from start until the run has ended and been collected: the run owns the instrument.
  bool active() const { return active_.load(); }
  // Stops a run, waits for it and collects it.
  void finish();
  // Collects a run that has ended (its summary goes out as a "run" event); call now and then.
  void collect();
  // The latest spectrum as JSON, or null before the first.
  std::shared_ptr<const std::string> latestSpectrum();
  // The run now, or the last one's summary ({"running": false} before any).
  std::string state() const;
  // Called with each status sample of the run (on its delivery thread).
  std::function<void(const acq::StatusSample&)> onStatus;

 private:
  struct Sink;
  void setState(const nlohmann::ordered_json& state);
  ZylInterface& z_;
  std::string folder_;
  Publish publish_;
  std::function<void()> ended_;
  std::atomic<bool> active_{false};
  std::mutex mutex_;  // the members below
  std::unique_ptr<acq::MzmlWriter> writer_;
  std::unique_ptr<Sink> sink_;
  std::unique_ptr<acq::Acquisition> run_;
  std::string out_;
  mutable std::mutex latestMutex_;  // the members below
  std::shared_ptr<const acq::Spectrum> spectrum_;
  std::shared_ptr<const std::string> spectrumJson_;
  std::string state_ = R"({"running":false})";
};

// A spectrum as the page reads it: metadata, then "mz" and "intensity" arrays.
std::string spectrumJson(const acq::Spectrum& s);

}  // namespace zyl::serve
