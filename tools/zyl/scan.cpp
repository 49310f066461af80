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
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <vector>

#include "tools/zyl/progress.h"
#include "tools/zyl/session.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"

namespace zyl::tool {
namespace {

constexpr size_t kMaxReply = 7340032;
constexpr size_t kV3Header = sim::kV3ScanHeaderBytes;

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

struct ScanArgs {
  int from = 0, to = 65535;
  unsigned int timeMs = 500;
  std::string out, plot;
};

struct Spectrum {
  std::vector<double> position;
  std::vector<uint32_t> counts;
};

Spectrum withPositions(std::vector<uint32_t> counts, uint16_t start, uint16_t end) {
  Spectrum s;
  s.counts = std::move(counts);
  for (size_t i = 0; i < s.counts.size(); ++i)
    s.position.push_back(sim::scanPosition(start, end, s.counts.size(), i));
  return s;
}

// An output file, opened (created or emptied) before the instrument is touched so that a file
// that cannot be written is found before the scan runs; "-" is standard output. A file this run
// created is removed again when the scan fails.
class OutputFile {
 public:
  // Empty when it opened, else why not.
  std::string open(const std::string& name) {
    name_ = name;
    if (name == "-") return {};
    struct stat st {};
    created_ = stat(name.c_str(), &st) != 0;
    file_.open(name, std::ios::binary | std::ios::trunc);
    if (!file_) return "cannot write " + name + ": " + std::strerror(errno);
    return {};
  }
  bool wanted() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  std::ostream& stream() { return name_ == "-" ? std::cout : file_; }
  bool close() {
    stream().flush();
    if (name_ == "-") return static_cast<bool>(std::cout);
    file_.close();
    return !file_.fail();
  }
  void discard() {
    if (file_.is_open()) file_.close();
    if (created_ && name_ != "-") std::remove(name_.c_str());
  }

 private:
  std::string name_;
  std::ofstream file_;
  bool created_ = false;
};

bool writeCsv(std::ostream& out, const Spectrum& s) {
  out << "position,counts\n";
  for (size_t i = 0; i < s.counts.size(); ++i) out << s.position[i] << ',' << s.counts[i] << '\n';
  return static_cast<bool>(out);
}

// A self-contained SVG line plot with labelled axes.
bool writeSvg(std::ostream& out, const Spectrum& s, const ScanArgs& a) {
  const double w = 900, h = 420, left = 84, right = 20, top = 30, bottom = 50;
  const uint32_t maxCounts =
      s.counts.empty() ? 1 : *std::max_element(s.counts.begin(), s.counts.end());
  const double x0 = a.from, x1 = a.to > a.from ? a.to : a.from + 1;
  auto px = [&](double x) { return left + (x - x0) / (x1 - x0) * (w - left - right); };
  auto py = [&](double y) {
    return h - bottom - y / std::max<uint32_t>(maxCounts, 1) * (h - top - bottom);
  };
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << left << "\" y=\"18\">scan " << a.from << " to " << a.to << " in "
      << a.timeMs << " ms, " << s.counts.size() << " points</text>\n"
      << "<line x1=\"" << left << "\" y1=\"" << h - bottom << "\" x2=\"" << w - right << "\" y2=\""
      << h - bottom << "\" stroke=\"black\"/>\n"
      << "<line x1=\"" << left << "\" y1=\"" << top << "\" x2=\"" << left << "\" y2=\""
      << h - bottom << "\" stroke=\"black\"/>\n";
  for (int t = 0; t <= 4; ++t) {
    const double x = x0 + (x1 - x0) * t / 4, y = maxCounts * t / 4.0;
    out << "<text x=\"" << px(x) << "\" y=\"" << h - bottom + 18 << "\" text-anchor=\"middle\">"
        << static_cast<long>(x) << "</text>\n"
        << "<text x=\"" << left - 6 << "\" y=\"" << py(y) + 4 << "\" text-anchor=\"end\">"
        << static_cast<long>(y) << "</text>\n";
  }
  out << "<text x=\"" << (left + w - right) / 2 << "\" y=\"" << h - 8
      << "\" text-anchor=\"middle\">scan position</text>\n"
      << "<text transform=\"translate(16," << (top + h - bottom) / 2
      << ") rotate(-90)\" text-anchor=\"middle\">counts</text>\n"
      << "<polyline fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1\" points=\"";
  for (size_t i = 0; i < s.counts.size(); ++i)
    out << px(s.position[i]) << ',' << py(s.counts[i]) << ' ';
  out << "\"/>\n</svg>\n";
  return static_cast<bool>(out);
}

// Runs `work` on a thread of its own while a live line shows `text()` (on a terminal only).
unsigned int withSpinner(const std::function<std::string()>& text,
                         const std::function<unsigned int()>& work) {
  Spinner spinner("scan");
  if (!spinner.live()) return work();
  auto result = std::async(std::launch::async, work);
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    spinner.update(text());
  return result.get();
}

// Older firmware: the reply lands in a movable block, bit 31 already restored by the library.
int scanOlder(Session& session, const ScanArgs& a, Spectrum& spectrum) {
  ZylInterface& z = session.instrument();
  HGLOBAL block = GlobalAlloc(GHND, kMaxReply);
  if (!block) return session.fail(kRefused, "no memory for the scan data");
  unsigned int points = 0;
  const std::string sweep = "sweeping " + std::to_string(a.from) + " to " + std::to_string(a.to) +
                            " in " + std::to_string(a.timeMs) + " ms";
  const unsigned int status =
      withSpinner([&] { return sweep; },
                  [&] {
                    return z.PerformScan(static_cast<uint16_t>(a.from), static_cast<uint16_t>(a.to),
                                         a.timeMs, block, 0, &points);
                  });
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
  const unsigned int read = withSpinner(text, [&]() -> unsigned int {
    size_t expected = data.size();
    int timeoutMs = static_cast<int>(a.timeMs) * 2 + 1000;
    while (received < expected) {
      long length = std::min<long>(kPiece, static_cast<long>(expected - received));
      const unsigned int st = z.ZylUSBGetScanData(data.data() + received, length, timeoutMs);
      if (st != ZYL_SUCCESS) return received > 0 ? ZYL_SUCCESS : st;
      received += static_cast<size_t>(length);
      if (simulatedLayout && received >= kV3Header && expected == data.size())
        expected = std::min(data.size(), kV3Header + 4 * size_t{le32(data.data() + 16)});
      if (length < kPiece && received < expected) break;
      timeoutMs = 1000;
    }
    return ZYL_SUCCESS;
  });
  if (read != ZYL_SUCCESS) return session.result(read, "scan data read");
  const long length = static_cast<long>(received.load());
  data.resize(received.load());
  if (!simulated(session.options())) {
    if (csv.wanted()) {
      csv.stream().write(reinterpret_cast<const char*>(data.data()), length);
      if (!csv.close()) return session.fail(kUsage, "cannot write " + csv.name());
    }
    session.print({{"bytes", length}, {"saved", csv.wanted() ? csv.name() : "no (use --out)"}});
    return kOk;
  }
  auto decoded = sim::decodeV3Scan(data);
  if (!decoded) return session.fail(kRefused, "the scan data are not in the simulator's layout");
  spectrum = withPositions(std::move(decoded->counts), decoded->start, decoded->end);
  return kOk;
}

}  // namespace

void addScanCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(app, "scan", "Run one mass scan and summarise or save it",
                             "zyl --sim scan --from 1000 --to 60000 --time 500 --out scan.csv "
                             "--plot scan.svg");
  auto a = std::make_shared<ScanArgs>();
  cmd->add_option("--from", a->from, "Start position (0-65535)")
      ->required()
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--to", a->to, "End position (0-65535), above the start")
      ->required()
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--time", a->timeMs, "Scan time in ms (1-14784957)")
      ->required()
      ->check(CLI::Range(1u, 14784957u));
  cmd->add_option("--out", a->out,
                  "Write position,counts to this CSV file (- for standard output; the summary "
                  "then goes to standard error)");
  cmd->add_option("--plot", a->plot,
                  "Draw the spectrum into this SVG file (- for standard output)");
  cmd->callback([&run, a] {
    if (a->from >= a->to)
      throw CLI::ValidationError("--to", "the end position " + std::to_string(a->to) +
                                             " is not above the start position " +
                                             std::to_string(a->from));
    if (a->out == "-" && a->plot == "-")
      throw CLI::ValidationError("--plot", "only one of --out and --plot can be standard output");
    run = [a](Session& session) -> int {
      if ((a->out == "-" || a->plot == "-") && session.options().json)
        return session.fail(kUsage,
                            "--json and an output to standard output (-) exclude each other");
      OutputFile csv, svg;
      for (auto [file, name] : {std::pair{&csv, &a->out}, std::pair{&svg, &a->plot}}) {
        if (name->empty()) continue;
        if (std::string why = file->open(*name); !why.empty()) {
          csv.discard();
          return session.fail(kUsage, why);
        }
        if (*name == "-") session.humanToStderr();
      }
      auto discard = [&](int code) {
        csv.discard();
        svg.discard();
        return code;
      };
      if (auto failed = session.requireInstrument()) return discard(*failed);
      Spectrum s;
      const int code =
          session.instrument().IsV3() ? scanV3(session, *a, s, csv) : scanOlder(session, *a, s);
      if (code != kOk) return discard(code);
      if (s.counts.empty() && session.instrument().IsV3() && !simulated(session.options()))
        return kOk;  // raw V3 data, saved above
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
        result["max_at_position"] = s.position[at];
        result["min_counts"] = *std::min_element(s.counts.begin(), s.counts.end());
      }
      if (csv.wanted()) {
        if (!writeCsv(csv.stream(), s) || !csv.close())
          return session.fail(kUsage, "cannot write " + csv.name());
        result["csv"] = csv.name();
      }
      if (svg.wanted()) {
        if (!writeSvg(svg.stream(), s, *a) || !svg.close())
          return session.fail(kUsage, "cannot write " + svg.name());
        result["plot"] = svg.name();
      }
      session.print(result);
      return kOk;
    };
  });
}

}  // namespace zyl::tool
