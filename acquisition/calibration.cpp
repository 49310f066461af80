// The mass calibration: reading and writing its XML form, and position to m/z.
#include <expat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "zyl/Acquisition.h"
#include "zyl/ZylInterface.h"

namespace zyl::acq {

namespace {

std::string_view localName(const char* name) {
  std::string_view n(name);
  if (size_t colon = n.rfind(':'); colon != std::string_view::npos) n.remove_prefix(colon + 1);
  return n;
}

bool number(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(out);
}

struct Reader {
  MassCalibration cal;
  SpeedCalibration simple;  // the root's own calibration, used when there is no mass calibration
  std::vector<std::string> path;
  bool sawMass = false;
  SpeedCalibration* current = nullptr;
  std::string error;

  void fail(std::string why) {
    if (error.empty()) error = std::move(why);
  }

  void start(const char* rawName, const char** attrs) {
    const std::string_view name = localName(rawName);
    path.emplace_back(name);
    // Taken after the push: a view taken before it would dangle once the vector grows.
    const std::string_view parent = path.size() < 2 ? std::string_view{} : path[path.size() - 2];
    if (name == "massCalibration") {
      sawMass = true;
    } else if (name == "calibration" && parent == "massCalibration") {
      cal.speeds.emplace_back();
      current = &cal.speeds.back();
      for (const char** a = attrs; *a; a += 2)
        if (localName(a[0]) == "speed" && (!number(a[1], current->speed) || current->speed < 0))
          fail(std::string("calibration speed \"") + a[1] + "\" is not a number of 0 or more");
    } else if (name == "calibration" && path.size() == 2) {
      current = &simple;
    } else if (name == "segment" && current && parent == "calibration") {
      CalibrationSegment s;
      int seen = 0;
      for (const char** a = attrs; *a; a += 2) {
        const std::string_view k = localName(a[0]);
        double* field = k == "from" ? &s.from
                        : k == "to" ? &s.to
                        : k == "c0" ? &s.c0
                        : k == "c1" ? &s.c1
                        : k == "c2" ? &s.c2
                                    : nullptr;
        if (!field) continue;
        ++seen;
        if (!number(a[1], *field))
          fail("segment attribute " + std::string(k) + "=\"" + a[1] + "\" is not a number");
      }
      if (seen != 5) fail("a segment needs the attributes from, to, c0, c1 and c2");
      if (!(s.from < s.to)) fail("a segment's \"from\" must be below its \"to\"");
      current->segments.push_back(s);
    }
  }
  void endElement() {
    if (!path.empty() && path.back() == "calibration") current = nullptr;
    path.pop_back();
  }
};

void sortAndCheck(MassCalibration& cal, std::string& error) {
  for (SpeedCalibration& sc : cal.speeds) {
    if (sc.segments.empty()) error = "a speed calibration has no segments";
    std::sort(
        sc.segments.begin(), sc.segments.end(),
        [](const CalibrationSegment& a, const CalibrationSegment& b) { return a.from < b.from; });
  }
}

std::string format(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

}  // namespace

const SpeedCalibration* MassCalibration::forSpeed(double positionsPerSecond) const {
  const SpeedCalibration* best = nullptr;
  for (const SpeedCalibration& s : speeds)
    if (!best ||
        std::abs(s.speed - positionsPerSecond) < std::abs(best->speed - positionsPerSecond))
      best = &s;
  return best;
}

void MassCalibration::apply(uint16_t start, uint16_t end, uint32_t scanTimeMs, size_t n,
                            double* mz) const {
  const double step = n ? double(end - start) / double(n) : 0;
  const SpeedCalibration* sc = forSpeed(scanTimeMs ? double(end - start) * 1000.0 / scanTimeMs : 0);
  if (!sc || sc->segments.empty()) {
    for (size_t i = 0; i < n; ++i) mz[i] = start + step * double(i);
    return;
  }
  // One tight loop per segment over the points it covers (the positions rise with i), its
  // polynomial rewritten in the point index so that each point costs two multiply-adds.
  const auto& segs = sc->segments;
  const int count = static_cast<int>(n);
  int i = 0;
  for (size_t k = 0; k < segs.size() && i < count; ++k) {
    int last = count;
    if (k + 1 < segs.size() && step > 0) {
      const double bound = (segs[k].to - start) / step;  // the last i inside this segment
      last = bound < 0 ? 0 : static_cast<int>(std::min<double>(count, std::floor(bound) + 1));
    }
    const CalibrationSegment& g = segs[k];
    const double a = g.mz(start), b = (g.c1 + 2 * g.c2 * start) * step, c = g.c2 * step * step;
    for (; i < last; ++i) {
      const double x = i;
      mz[i] = a + x * (b + x * c);
    }
  }
}

std::optional<MassCalibration> MassCalibration::fromXml(std::string_view xml, std::string* why) {
  Reader r;
  XML_Parser p = XML_ParserCreate(nullptr);
  XML_SetUserData(p, &r);
  XML_SetElementHandler(
      p,
      [](void* u, const char* name, const char** attrs) {
        static_cast<Reader*>(u)->start(name, attrs);
      },
      [](void* u, const char*) { static_cast<Reader*>(u)->endElement(); });
  const bool parsed = XML_Parse(p, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
  std::string error = r.error;
  if (!parsed)
    error = std::string("not XML: ") + XML_ErrorString(XML_GetErrorCode(p)) + " at line " +
            std::to_string(XML_GetCurrentLineNumber(p));
  XML_ParserFree(p);
  if (error.empty() && !r.sawMass && !r.simple.segments.empty()) r.cal.speeds.push_back(r.simple);
  if (error.empty() && r.cal.speeds.empty())
    error =
        "no mass calibration (a \"massCalibration\" element with \"calibration\" and "
        "\"segment\" elements)";
  if (error.empty()) sortAndCheck(r.cal, error);
  if (!error.empty()) {
    if (why) *why = error;
    return std::nullopt;
  }
  return r.cal;
}

std::optional<MassCalibration> MassCalibration::fromFile(const std::string& path,
                                                         std::string* why) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    if (why) *why = path + ": cannot be read";
    return std::nullopt;
  }
  auto cal = fromXml(text.str(), why);
  if (!cal && why) *why = path + ": " + *why;
  return cal;
}

std::string MassCalibration::toXml() const {
  std::string out = "<massCalibration>";
  for (const SpeedCalibration& sc : speeds) {
    out += "<calibration speed=\"" + format(sc.speed) + "\">";
    for (const CalibrationSegment& s : sc.segments)
      out += "<segment from=\"" + format(s.from) + "\" to=\"" + format(s.to) + "\" c0=\"" +
             format(s.c0) + "\" c1=\"" + format(s.c1) + "\" c2=\"" + format(s.c2) + "\"/>";
    out += "</calibration>";
  }
  return out + "</massCalibration>";
}

std::string MassCalibration::mergedInto(std::string_view tune) const {
  const std::string mine = toXml();
  if (tune.find("<tuneParameters") == std::string_view::npos)
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tuneParameters version=\"1.3\">" + mine +
           "</tuneParameters>\n";
  std::string out(tune);
  if (size_t open = out.find("<massCalibration"); open != std::string::npos) {
    size_t close = out.find("</massCalibration>", open);
    size_t stop = close == std::string::npos
                      ? out.find("/>", open) + 2
                      : close + std::string_view("</massCalibration>").size();
    out.replace(open, stop - open, mine);
    return out;
  }
  const size_t rootEnd = out.rfind("</");
  if (rootEnd == std::string::npos) {  // <tuneParameters .../>
    const size_t selfClose = out.rfind("/>");
    out.replace(selfClose, 2, ">" + mine + "</tuneParameters>");
  } else {
    out.insert(rootEnd, mine);
  }
  return out;
}

MassCalibration storedCalibration(ZylInterface& z, bool groupA, bool alternate) {
  std::vector<char> out(10240 + 1, '\0');
  if (!z.GetDefaultTuneParameters(out.data(), groupA, alternate) || !out[0]) return {};
  auto cal = MassCalibration::fromXml(out.data(), nullptr);
  return cal ? *cal : MassCalibration{};
}

}  // namespace zyl::acq
