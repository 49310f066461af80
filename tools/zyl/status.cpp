// zyl status [--watch [SECONDS]]: the instrument's status record, once or repeatedly; and the
// status views the other commands show.
#include <atomic>
#include <cmath>
#include <thread>

#include "surface/readings.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/interrupt.h"
#include "tools/zyl/readings.h"

namespace zyl::tool {
namespace {

std::atomic<unsigned> framesSeen{0};
void countFrame() {
  framesSeen.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool awaitStreamedStatus(ZylInterface& z) {
  const unsigned before = framesSeen.load();
  z.SetStatusCallback(&countFrame);  // process-wide: one instrument per run
  z.EnableStatusReporting(true);
  for (int i = 0; i < 30; ++i) {
    if (framesSeen.load() != before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void refreshForDisplay(ZylInterface& z) {
  surface::refreshReadings(z);
}

std::string vacuumLine(ZylInterface& z) {
  refreshForDisplay(z);
  char line[96];
  std::snprintf(line, sizeof line, "pressure %.3g mbar, pump speed %u", z.pressureMbar.load(),
                static_cast<unsigned>(z.pumpSpeed.load() & 0xFFFF));
  return line;
}

nlohmann::ordered_json statusSnapshot(ZylInterface& z) {
  const unsigned int refresh = surface::refreshReadings(z);
  nlohmann::ordered_json out;
  surface::forEachReading(surface::readingsOf(z),
                          [&](const char* name, const auto& value) { out[name] = value; });
  if (refresh != ZYL_SUCCESS) out["refresh"] = statusText(refresh);
  return out;
}

namespace {

int watchStatus(Session& session, ZylInterface& z, double seconds, bool untilInterrupted) {
  if (z.IsV3() && !awaitStreamedStatus(z)) {
    z.EnableStatusReporting(false);
    return session.fail(kRefused, "the instrument streams no status frames");
  }
  const bool watching = untilInterrupted || seconds > 0;
  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::duration<double>(seconds);
  for (;;) {
    auto snapshot = statusSnapshot(z);
    if (!watching) {
      session.print(snapshot);
      break;
    }
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::ordered_json timed{{"t_s", std::round(t * 1000) / 1000}};
    timed.update(snapshot);
    session.printLine(timed);
    if (!untilInterrupted && std::chrono::steady_clock::now() - start >= limit) break;
    if (!sleepUnlessInterrupted(std::chrono::seconds(1))) break;
  }
  if (z.IsV3()) z.EnableStatusReporting(false);  // also after Ctrl-C: the stream is stopped
  return interrupted() ? session.fail(kInterrupted, "status watch interrupted (Ctrl-C)") : kOk;
}

}  // namespace

void addStatusCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(app, "status", "Show pressure, pump, heaters, inputs and ADCs",
                             "zyl --sim status --watch 10     (--json: one JSON object per line)");
  auto watch = std::make_shared<double>(0);
  CLI::Option* watchOption =
      cmd->add_option("--watch", *watch,
                      "Show the status every second, for this many seconds or, without a number, "
                      "until interrupted (Ctrl-C)")
          ->expected(0, 1)
          ->type_name("SECONDS")
          ->check(within(surface::kWatchSeconds));
  cmd->callback([&run, watch, watchOption] {
    // "--watch" alone (or "--watch 0") follows the status until Ctrl-C.
    const bool untilInterrupted = watchOption->count() > 0 && *watch == 0;
    run = withInstrument([watch, untilInterrupted](Session& session, ZylInterface& z) {
      return watchStatus(session, z, *watch, untilInterrupted);
    });
  });
}

}  // namespace zyl::tool
