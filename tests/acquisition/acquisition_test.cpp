#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <numeric>
#include <thread>

#include "sim/controller_io.h"
#include "support/sim_fixture.h"
#include "zyl/Acquisition.h"

namespace zyl::test {
namespace {

using namespace std::chrono_literals;

struct Collect : acq::Sink {
  acq::MzmlWriter* file = nullptr;  // also writes what it collects, when set
  std::mutex m;
  std::vector<acq::Spectrum> spectra;
  std::vector<acq::Gap> gaps;
  int statuses = 0;
  size_t refuseAfter = SIZE_MAX;
  bool onSpectrum(const acq::Spectrum& s) override {
    std::lock_guard g(m);
    if (spectra.size() >= refuseAfter) return false;
    spectra.push_back(s);
    return !file || file->onSpectrum(s);
  }
  void onGap(const acq::Gap& g) override {
    std::lock_guard l(m);
    gaps.push_back(g);
  }
  void onStatus(const acq::StatusSample&) override { ++statuses; }
  size_t count() {
    std::lock_guard g(m);
    return spectra.size();
  }
};

enum class Act { None, StopAfter2, UnplugAfter2, EdgeOnInput3, SinkRefuses3, Duration };

struct Case {
  const char* name;
  const char* firmware;
  Act act;
  acq::Ending ending;
  size_t least, most;  // spectra delivered
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class AcquisitionRun : public SimTest, public ::testing::WithParamInterface<Case> {};

TEST_P(AcquisitionRun, DeliversEveryScanInOrderAndEndsAsAsked) {
  const Case& c = GetParam();
  plug({.firmwareVersion = c.firmware, .timeScale = 50});
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  acq::Method m;
  m.start = 1000;
  m.end = 60000;
  m.scanTimeMs = 500;  // 3601 points, 10 ms of real time each
  m.scans =
      c.act == Act::Duration ? 0 : (c.act == Act::None || c.act == Act::EdgeOnInput3 ? 5 : 40);
  if (c.act == Act::Duration) m.duration = 300ms;  // about 30 scans of 10 ms
  if (c.act == Act::EdgeOnInput3) m.trigger = {acq::StartTrigger::RisingEdge, 3, 5s};
  Collect sink;
  if (c.act == Act::SinkRefuses3) sink.refuseAfter = 3;
  // A file cut by the unplug must be as complete as any other.
  const std::string path = ::testing::TempDir() + "unplugged-" + c.name + ".mzML";
  std::unique_ptr<acq::MzmlWriter> file;
  if (c.act == Act::UnplugAfter2) {
    file = acq::MzmlWriter::open(path, {}, nullptr);
    ASSERT_TRUE(file);
    sink.file = file.get();
  }
  acq::Acquisition run(z, m, sink);
  ASSERT_TRUE(run.start());
  if (c.act == Act::EdgeOnInput3) {
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(run.triggered());
    firmware(
        [](sim::FirmwareContext& f) { f.state().part<sim::ControllerIo>().digitalInputs |= 8; });
  }
  if (c.act == Act::StopAfter2 || c.act == Act::UnplugAfter2) {
    while (sink.count() < 2) std::this_thread::sleep_for(1ms);
    if (c.act == Act::StopAfter2)
      run.stop();
    else
      instrument->unplug();
  }
  const acq::Summary s = run.wait();
  EXPECT_EQ(s.ending, c.ending) << s.message;
  if (file) {
    ASSERT_TRUE(file->close()) << file->error();
    const std::string check = std::string(ZYL_PYTHON_EXE " " ZYL_CHECK_MZML " ") + path + " " +
                              std::to_string(sink.spectra.size());
    EXPECT_EQ(std::system(check.c_str()), 0) << check;
  }
  EXPECT_GE(sink.spectra.size(), c.least);
  EXPECT_LE(sink.spectra.size(), c.most);
  if (c.act != Act::SinkRefuses3) {
    EXPECT_EQ(s.spectra, sink.spectra.size());
  }
  // Spectra and gaps together number the scans 0, 1, ... with none twice and none missing.
  std::vector<uint32_t> seen;
  for (const auto& sp : sink.spectra) seen.push_back(sp.index);
  for (const auto& g : sink.gaps) seen.push_back(g.index);
  std::sort(seen.begin(), seen.end());
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
  for (size_t i = 0; i < sink.spectra.size(); ++i) {
    const acq::Spectrum& sp = sink.spectra[i];
    ASSERT_EQ(sp.intensity.size(), 3601u);
    ASSERT_EQ(sp.mz.size(), 3601u);
    EXPECT_DOUBLE_EQ(sp.mz[0], 1000);
    EXPECT_DOUBLE_EQ(sp.tic, std::accumulate(sp.intensity.begin(), sp.intensity.end(), 0.0));
    EXPECT_EQ(sp.basePeakIntensity, *std::max_element(sp.intensity.begin(), sp.intensity.end()));
    if (i) {
      EXPECT_GT(sp.startTime, sink.spectra[i - 1].startTime);
      EXPECT_GT(sp.index, sink.spectra[i - 1].index);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothGenerations, AcquisitionRun,
    ::testing::Values(
        Case{"V3Count", "VERSION130904A-V3", Act::None, acq::Ending::Completed, 5, 5},
        Case{"OlderCount", "VERSION110812", Act::None, acq::Ending::Completed, 5, 5},
        Case{"V3Stop", "VERSION130904A-V3", Act::StopAfter2, acq::Ending::Stopped, 2, 39},
        Case{"OlderStop", "VERSION110812", Act::StopAfter2, acq::Ending::Stopped, 2, 39},
        Case{"V3Unplug", "VERSION130904A-V3", Act::UnplugAfter2, acq::Ending::Disconnected, 2, 39},
        Case{"OlderUnplug", "VERSION110812", Act::UnplugAfter2, acq::Ending::Disconnected, 2, 39},
        Case{"V3Trigger", "VERSION130904A-V3", Act::EdgeOnInput3, acq::Ending::Completed, 5, 5},
        Case{"OlderTrigger", "VERSION110812", Act::EdgeOnInput3, acq::Ending::Completed, 5, 5},
        Case{"V3SinkRefuses", "VERSION130904A-V3", Act::SinkRefuses3, acq::Ending::SinkFailed, 3,
             3},
        Case{"V3Duration", "VERSION130904A-V3", Act::Duration, acq::Ending::Completed, 6, 40},
        Case{"OlderDuration", "VERSION110812", Act::Duration, acq::Ending::Completed, 6, 40}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zyl::test
