// zyl scan --from A --to B --time MS [--out FILE.csv] [--plot FILE.svg]: one mass scan.
//
// Older firmware answers the scan command with the data; V3 firmware queues the scan and streams
// its data on the scan pipe. The library does not interpret V3 scan data (their layout is the
// firmware's), so the tool decodes them only for the simulated instrument, whose layout is
// documented in zyl/sim/Scan.h; from a real V3 instrument it saves the raw bytes.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <vector>

#include "surface/checks.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/output.h"
#include "tools/zyl/progress.h"
#include "zyl/Acquisition.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"

namespace zyl::tool {
namespace {

constexpr size_t kMaxReply = ZYL_SCAN_REPLY_BYTES;
constexpr size_t kV3Header = sim::kV3ScanHeaderBytes;

struct ScanArgs {
  int from = 0, to = 65535;
  unsigned int timeMs = 500;
  std::string out, plot;
};

struct Spectrum {
  std::vector<double> position;  // scan positions, or m/z when `mz`
  std::vector<uint32_t> counts;
  bool mz = false;
};

Spectrum withPositions(std::vector<uint32_t> counts, uint16_t start, uint16_t end) {
  Spectrum s;
  s.counts = std::move(counts);
  for (size_t i = 0; i < s.counts.size(); ++i)
    s.position.push_back(sim::scanPosition(start, end, s.counts.size(), i));
  return s;
}

bool writeCsv(std::ostream& out, const Spectrum& s) {
  out << (s.mz ? "mz,counts\n" : "position,counts\n");
  for (size_t i = 0; i < s.counts.size(); ++i) out << s.position[i] << ',' << s.counts[i] << '\n';
  return static_cast<bool>(out);
}

// Tick values for an axis from `lo` to `hi`: round numbers (1, 2 or 5 times a power of ten)
// about `wanted` apart-counts, inside the range.
std::vector<double> roundTicks(double lo, double hi, int wanted) {
  const double raw = (hi - lo) / wanted;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power * 10;
  for (double m : {1.0, 2.0, 5.0})
    if (power * m >= raw) {
      step = power * m;
      break;
    }
  std::vector<double> ticks;
  for (double t = std::ceil(lo / step) * step; t <= hi + step * 1e-9; t += step)
    ticks.push_back(std::abs(t) < step * 1e-9 ? 0 : t);
  return ticks;
}

std::string tickLabel(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

// A self-contained SVG line plot: round ticks with tick marks and a light grid, axes labelled
// with their units, a title naming the firmware, the scan and when it ran.
bool writeSvg(std::ostream& out, const Spectrum& s, const ScanArgs& a,
              const std::string& firmware) {
  const double w = 960, h = 480, left = 90, right = 24, top = 44, bottom = 58;
  const double maxCounts =
      s.counts.empty() ? 1
                       : std::max<double>(1, *std::max_element(s.counts.begin(), s.counts.end()));
  const std::vector<double> yTicks = roundTicks(0, maxCounts * 1.05, 6);
  const double yTop = std::max(maxCounts * 1.05, yTicks.back());
  const double x0 = s.mz ? s.position.front() : a.from, x1 = s.mz ? s.position.back() : a.to;
  auto px = [&](double x) { return left + (x - x0) / (x1 - x0) * (w - left - right); };
  auto py = [&](double y) { return h - bottom - y / yTop * (h - top - bottom); };
  char when[40];
  const std::time_t now = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&now));
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h
      << "\" viewBox=\"0 0 " << w << ' ' << h << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << w / 2 << "\" y=\"20\" text-anchor=\"middle\" font-size=\"15\">Scan "
      << a.from << " to " << a.to << " in " << a.timeMs << " ms, " << s.counts.size()
      << (s.counts.size() == 1 ? " point" : " points") << "</text>\n"
      << "<text x=\"" << w / 2 << "\" y=\"36\" text-anchor=\"middle\" fill=\"#555\">firmware "
      << firmware << ", " << when << "</text>\n";
  for (double x : roundTicks(x0, x1, 8)) {
    out << "<line x1=\"" << px(x) << "\" y1=\"" << top << "\" x2=\"" << px(x) << "\" y2=\""
        << h - bottom << "\" stroke=\"#e4e4e4\"/>\n"
        << "<line x1=\"" << px(x) << "\" y1=\"" << h - bottom << "\" x2=\"" << px(x) << "\" y2=\""
        << h - bottom + 5 << "\" stroke=\"black\"/>\n"
        << "<text x=\"" << px(x) << "\" y=\"" << h - bottom + 19 << "\" text-anchor=\"middle\">"
        << tickLabel(x) << "</text>\n";
  }
  for (double y : yTicks) {
    out << "<line x1=\"" << left << "\" y1=\"" << py(y) << "\" x2=\"" << w - right << "\" y2=\""
        << py(y) << "\" stroke=\"#e4e4e4\"/>\n"
        << "<line x1=\"" << left - 5 << "\" y1=\"" << py(y) << "\" x2=\"" << left << "\" y2=\""
        << py(y) << "\" stroke=\"black\"/>\n"
        << "<text x=\"" << left - 8 << "\" y=\"" << py(y) + 4 << "\" text-anchor=\"end\">"
        << tickLabel(y) << "</text>\n";
  }
  out << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << w - left - right
      << "\" height=\"" << h - top - bottom << "\" fill=\"none\" stroke=\"black\"/>\n"
      << "<text x=\"" << (left + w - right) / 2 << "\" y=\"" << h - 14
      << "\" text-anchor=\"middle\">"
      << (s.mz ? "m/z" : "scan position (fraction of the full sweep, 0-65535)") << "</text>\n"
      << "<text transform=\"translate(20," << (top + h - bottom) / 2
      << ") rotate(-90)\" text-anchor=\"middle\">ion counts per point</text>\n"
      << "<polyline fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1\" points=\"";
  for (size_t i = 0; i < s.counts.size(); ++i)
    out << px(s.position[i]) << ',' << py(s.counts[i]) << ' ';
  out << "\"/>\n";
  if (s.counts.size() == 1)  // a line needs two points: one is drawn as a dot
    out << "<circle cx=\"" << px(s.position[0]) << "\" cy=\"" << py(s.counts[0])
        << "\" r=\"3\" fill=\"#1f5fa8\"/>\n";
  out << "</svg>\n";
  return static_cast<bool>(out);
}

// Older firmware: the reply lands in a movable block, bit 31 already restored by the library.
int scanOlder(Session& session, const ScanArgs& a, Spectrum& spectrum) {
  ZylInterface& z = session.instrument();
  HGLOBAL block = GlobalAlloc(GHND, kMaxReply);
  if (!block) return session.fail(kRefused, "no memory for the scan data");
  unsigned int points = 0;
  const std::string sweep = "sweeping " + std::to_string(a.from) + " to " + std::to_string(a.to) +
                            " in " + std::to_string(a.timeMs) + " ms";
  const unsigned int status = runWithSpinner(
      "scan",
      [&] {
        return z.PerformScan(static_cast<uint16_t>(a.from), static_cast<uint16_t>(a.to), a.timeMs,
                             block, 0, &points);
      },
      [&] { return sweep; });
  if (status == ZYL_SUCCESS) {
    std::vector<uint32_t> counts(points);
    if (const void* data = GlobalLock(block)) {
      std::memcpy(counts.data(), data, points * sizeof(uint32_t));
      GlobalUnlock(block);
    }
    spectrum = withPositions(std::move(counts), static_cast<uint16_t>(a.from),
                             static_cast<uint16_t>(a.to));
  }
  GlobalFree(block);
  return session.result(status, "scan");
}

// V3 firmware: queue one scan, read its data from the scan pipe in pieces, so that the points
// received can be shown. The scan is one message: it ends with a short read, a read that finds
// nothing more, or (simulator) the length its header gives.
int scanV3(Session& session, const ScanArgs& a, Spectrum& spectrum, OutputFile& csv) {
  constexpr long kPiece = 256 * 1024;
  ZylInterface& z = session.instrument();
  if (unsigned int status = z.initializeScanReading(); status != ZYL_SUCCESS)
    return session.result(status, "scan pipe");
  const unsigned int status = z.PerformScanHS(1, static_cast<uint16_t>(a.from),
                                              static_cast<uint16_t>(a.to), a.timeMs, 0, true);
  if (status != ZYL_SUCCESS) return session.result(status, "scan");
  const bool simulatedLayout = simulated(session.options());
  std::vector<uint8_t> data(kMaxReply);
  std::atomic<size_t> received{0};
  auto text = [&]() -> std::string {
    const size_t bytes = received.load();
    if (bytes == 0) return "waiting for the data of a " + std::to_string(a.timeMs) + " ms scan";
    if (!simulatedLayout) return std::to_string(bytes) + " bytes received";
    return std::to_string(bytes > kV3Header ? (bytes - kV3Header) / 4 : 0) + " points received";
  };
  const unsigned int read = runWithSpinner(
      "scan",
      [&]() -> unsigned int {
        size_t expected = data.size();
        int timeoutMs = static_cast<int>(a.timeMs) * 2 + 1000;
        while (received < expected) {
          long length = std::min<long>(kPiece, static_cast<long>(expected - received));
          const unsigned int st = z.ZylUSBGetScanData(data.data() + received, length, timeoutMs);
          if (st != ZYL_SUCCESS) return received > 0 ? ZYL_SUCCESS : st;
          received += static_cast<size_t>(length);
          if (simulatedLayout && received >= kV3Header && expected == data.size())
            expected =
                std::min(data.size(), sim::v3ScanMessageBytes(std::span(data).first(received)));
          if (length < kPiece && received < expected) break;
          timeoutMs = 1000;
        }
        return ZYL_SUCCESS;
      },
      text);
  if (read != ZYL_SUCCESS) return session.result(read, "scan data read");
  const long length = static_cast<long>(received.load());
  data.resize(received.load());
  if (!simulated(session.options())) {
    if (csv.wanted()) {
      csv.stream().write(reinterpret_cast<const char*>(data.data()), length);
      if (const int code = session.commit(csv); code != kOk) return code;
    }
    session.print({{"bytes", length}, {"saved", csv.wanted() ? csv.name() : "no (use --out)"}});
    return kOk;
  }
  auto decoded = sim::decodeV3Scan(data);
  if (!decoded) return session.fail(kRefused, "the scan data are not in the simulator's layout");
  spectrum = withPositions(std::move(decoded->counts), decoded->start, decoded->end);
  return kOk;
}

int runScan(Session& session, const ScanArgs& a) {
  if ((a.out == "-" || a.plot == "-") && session.options().json)
    return session.fail(kUsage, "--json and an output to standard output (-) exclude each other");
  if (std::string why = surface::checkScan(a.from, a.to, a.timeMs); !why.empty())
    return session.fail(kUsage, why);
  OutputFile csv, svg;
  for (auto [file, name] : {std::pair{&csv, &a.out}, std::pair{&svg, &a.plot}}) {
    if (name->empty()) continue;
    if (std::string why = file->open(*name); !why.empty()) return session.fail(kUsage, why);
    if (*name == "-") session.humanToStderr();
  }
  if (auto failed = session.requireInstrument()) return *failed;
  Spectrum s;
  const int code =
      session.instrument().IsV3() ? scanV3(session, a, s, csv) : scanOlder(session, a, s);
  if (code != kOk) return code;
  if (s.counts.empty() && session.instrument().IsV3() && !simulated(session.options()))
    return kOk;  // raw V3 data, saved above
  // The m/z axis of the default tune's mass calibration, where the instrument has one.
  if (const acq::MassCalibration cal = acq::storedCalibration(session.instrument());
      !cal.empty() && !s.counts.empty()) {
    cal.apply(static_cast<uint16_t>(a.from), static_cast<uint16_t>(a.to), a.timeMs, s.counts.size(),
              s.position.data());
    s.mz = true;
  }
  nlohmann::ordered_json result = {{"points", s.counts.size()}};
  if (s.counts.empty()) {
    result["note"] = simulated(session.options())
                         ? "the scan has no points: the simulated instrument gives (to - from) "
                           "x time / 8192 of them; widen the range or lengthen the time"
                         : "the instrument returned no points";
  } else {
    const auto tallest = std::max_element(s.counts.begin(), s.counts.end());
    const auto at = static_cast<size_t>(tallest - s.counts.begin());
    result["max_counts"] = *tallest;
    result[s.mz ? "max_at_mz" : "max_at_position"] =
        std::round(s.position[at] * 10) / 10;  // a tenth of a step
    result["min_counts"] = *std::min_element(s.counts.begin(), s.counts.end());
  }
  if (csv.wanted()) {
    if (!writeCsv(csv.stream(), s)) return session.fail(kUsage, "cannot write " + csv.name());
    if (const int failed = session.commit(csv); failed != kOk) return failed;
    result["csv"] = csv.name();
  }
  if (svg.wanted()) {
    if (!writeSvg(svg.stream(), s, a, session.instrument().firmwareVersion))
      return session.fail(kUsage, "cannot write " + svg.name());
    if (const int failed = session.commit(svg); failed != kOk) return failed;
    result["plot"] = svg.name();
  }
  session.print(result);
  return kOk;
}

}  // namespace

int scanToFiles(Session& session, int from, int to, unsigned int timeMs, const std::string& csv,
                const std::string& plot) {
  return runScan(session, ScanArgs{from, to, timeMs, csv, plot});
}

void addScanCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(app, "scan", "Run one mass scan and summarise or save it",
                             "zyl --sim scan --from 1000 --to 60000 --time 500 --out scan.csv "
                             "--plot scan.svg");
  auto a = std::make_shared<ScanArgs>();
  cmd->add_option("--from", a->from, "Start position (0-65535)")
      ->required()
      ->check(within(surface::kScanPosition));
  cmd->add_option("--to", a->to, "End position (0-65535), above the start")
      ->required()
      ->check(within(surface::kScanPosition));
  cmd->add_option("--time", a->timeMs,
                  "Scan time in ms (1-14784957; the points, (to - from) x time / 8192, must fit "
                  "the scan reply)")
      ->required()
      ->check(within(surface::kScanTime));
  cmd->add_option("--out", a->out,
                  "Write position,counts to this CSV file (- for standard output; the summary "
                  "then goes to standard error)");
  cmd->add_option("--plot", a->plot,
                  "Draw the spectrum into this SVG file (- for standard output)");
  cmd->callback([&run, a] {
    if (std::string why = surface::checkScan(a->from, a->to, a->timeMs); !why.empty())
      throw CLI::ValidationError(why);
    if (a->out == "-" && a->plot == "-")
      throw CLI::ValidationError("--plot", "only one of --out and --plot can be standard output");
    run = [a](Session& session) { return runScan(session, *a); };
  });
}

}  // namespace zyl::tool
