// Fitting the mass calibration to a scan of a calibrant.
#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <numeric>

#include "zyl/Acquisition.h"

namespace zyl::acq {

namespace {

// Peaks stand out by this many times the baseline's noise (a robust estimate from the median
// absolute deviation) above its median.
constexpr double kPeakSigmas = 20;

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

double peakThreshold(const std::vector<float>& y) {
  std::vector<double> v(y.begin(), y.end());
  const double mid = median(v);
  for (double& x : v) x = std::abs(x - mid);
  return mid + kPeakSigmas * 1.4826 * std::max(1.0, median(v));
}

// Least squares polynomial of degree `degree` (at most 2) through (x, y); coefficients c0..c2.
// x is centred and scaled first so the normal equations stay well conditioned.
std::array<double, 3> polyfit(const std::vector<double>& x, const std::vector<double>& y,
                              int degree) {
  const size_t m = static_cast<size_t>(degree) + 1;
  const double mx = std::accumulate(x.begin(), x.end(), 0.0) / double(x.size());
  double sx = 0;
  for (double v : x) sx = std::max(sx, std::abs(v - mx));
  if (sx == 0) sx = 1;
  double a[3][4] = {};
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = (x[i] - mx) / sx;
    const double pw[3] = {1, t, t * t};
    for (size_t r = 0; r < m; ++r) {
      for (size_t c = 0; c < m; ++c) a[r][c] += pw[r] * pw[c];
      a[r][3] += pw[r] * y[i];
    }
  }
  for (size_t c = 0; c < m; ++c) {  // Gauss-Jordan with partial pivoting
    size_t piv = c;
    for (size_t r = c + 1; r < m; ++r)
      if (std::abs(a[r][c]) > std::abs(a[piv][c])) piv = r;
    std::swap(a[c], a[piv]);
    if (a[c][c] == 0) return {NAN, NAN, NAN};
    for (size_t r = 0; r < m; ++r) {
      if (r == c) continue;
      const double f = a[r][c] / a[c][c];
      for (size_t k = c; k < 4; ++k) a[r][k] -= f * a[c][k];
    }
  }
  double t[3] = {0, 0, 0};
  for (size_t c = 0; c < m; ++c) t[c] = a[c][3] / a[c][c];
  // Back to the unscaled x: t0 + t1 u + t2 u^2 with u = (x - mx) / sx.
  const double k1 = t[1] / sx, k2 = t[2] / (sx * sx);
  return {t[0] - k1 * mx + k2 * mx * mx, k1 - 2 * k2 * mx, k2};
}

double evalPoly(const std::array<double, 3>& c, double x) {
  return c[0] + x * (c[1] + x * c[2]);
}

// For each reference, the nearest peak whose m/z (by `mzOf`) lies within `tol`; each peak used
// once. Indices into `peaks`, or -1.
template <class F>
std::vector<int> match(const std::vector<Peak>& peaks, const std::vector<double>& reference,
                       double tol, F mzOf) {
  std::vector<int> found(reference.size(), -1);
  std::vector<bool> used(peaks.size(), false);
  for (size_t r = 0; r < reference.size(); ++r) {
    double best = tol;
    for (size_t k = 0; k < peaks.size(); ++k) {
      const double d = std::abs(mzOf(peaks[k].mz) - reference[r]);
      if (!used[k] && d <= best) {
        best = d;
        found[r] = static_cast<int>(k);
      }
    }
    if (found[r] >= 0) used[static_cast<size_t>(found[r])] = true;
  }
  return found;
}

size_t countFound(const std::vector<int>& f) {
  return static_cast<size_t>(std::count_if(f.begin(), f.end(), [](int i) { return i >= 0; }));
}

}  // namespace

std::optional<std::vector<double>> readReferenceList(const std::string& path, std::string* why) {
  std::ifstream in(path);
  if (!in) {
    if (why) *why = path + ": cannot be read";
    return std::nullopt;
  }
  std::vector<double> out;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    char* end = nullptr;
    const double v = std::strtod(line.c_str() + first, &end);
    if (end == line.c_str() + first ||
        line.find_first_not_of(" \t\r", end - line.c_str()) != std::string::npos || !(v > 0) ||
        !std::isfinite(v)) {
      if (why) *why = path + ":" + std::to_string(n) + ": \"" + line + "\" is not an m/z value";
      return std::nullopt;
    }
    out.push_back(v);
  }
  std::sort(out.begin(), out.end());
  if (std::adjacent_find(out.begin(), out.end()) != out.end()) {
    if (why) *why = path + ": an m/z value is listed twice";
    return std::nullopt;
  }
  if (out.empty()) {
    if (why) *why = path + ": no m/z values";
    return std::nullopt;
  }
  return out;
}

std::vector<CalibrantMatch> measureCalibrant(const Spectrum& scan,
                                             const std::vector<double>& reference,
                                             double tolerance) {
  const std::vector<Peak> peaks = pickPeaks(scan.mz, scan.intensity, peakThreshold(scan.intensity));
  const std::vector<int> f = match(peaks, reference, tolerance, [](double x) { return x; });
  std::vector<CalibrantMatch> out;
  for (size_t r = 0; r < reference.size(); ++r) {
    CalibrantMatch m{reference[r]};
    if (f[r] >= 0) m = {reference[r], true, peaks[size_t(f[r])].mz, peaks[size_t(f[r])].mz};
    out.push_back(m);
  }
  return out;
}

CalibrationFit fitCalibration(const Spectrum& scan, std::vector<double> reference, int segments) {
  CalibrationFit fit;
  std::sort(reference.begin(), reference.end());
  for (double r : reference) fit.matches.push_back({r});
  if (segments < 1) {
    fit.error = "the number of segments must be 1 or more";
    return fit;
  }
  if (reference.size() < size_t(segments) + 1) {
    fit.error = "the reference list has " + std::to_string(reference.size()) + " peaks; fitting " +
                std::to_string(segments) + " segments needs at least " +
                std::to_string(segments + 1);
    return fit;
  }
  const std::vector<Peak> peaks = pickPeaks(scan.mz, scan.intensity, peakThreshold(scan.intensity));
  // 1. The straight line (m/z = a + b position) that lines up the most references with peaks:
  //    tried through every pair of peaks and pair of references.
  const double span = reference.back() - reference.front();
  const double loose = std::max(1.0, 0.02 * span);
  std::vector<int> best;
  double bestA = 0, bestB = 0, bestScore = -1;
  for (size_t i = 0; i < peaks.size(); ++i)
    for (size_t j = i + 1; j < peaks.size(); ++j)
      for (size_t k = 0; k < reference.size(); ++k)
        for (size_t l = k + 1; l < reference.size(); ++l) {
          const double b = (reference[l] - reference[k]) / (peaks[j].mz - peaks[i].mz);
          if (!(b > 0)) continue;
          const double a = reference[k] - b * peaks[i].mz;
          const auto f = match(peaks, reference, loose, [&](double p) { return a + b * p; });
          double score = double(countFound(f));
          for (size_t r = 0; r < f.size(); ++r)  // ties: the closer line up wins
            if (f[r] >= 0)
              score -= 1e-3 * std::abs(a + b * peaks[size_t(f[r])].mz - reference[r]) / loose;
          if (score > bestScore) {
            bestScore = score;
            best = f;
            bestA = a;
            bestB = b;
          }
        }
  const size_t needed = std::max<size_t>(3, size_t(segments) + 1);
  if (best.empty() || countFound(best) < needed) {
    fit.error = "the scan shows " + std::to_string(best.empty() ? 0 : countFound(best)) +
                " of the " + std::to_string(reference.size()) + " calibrant peaks (" +
                std::to_string(peaks.size()) + " peaks in all); at least " +
                std::to_string(needed) + " are needed: is the calibrant in the scan's range?";
    return fit;
  }
  // 2. Refine: a quadratic through the matched peaks, then match again more tightly.
  std::array<double, 3> global{bestA, bestB, 0};
  for (double tol : {loose, loose / 4, std::max(0.5, loose / 16)}) {
    std::vector<double> x, y;
    for (size_t r = 0; r < best.size(); ++r)
      if (best[r] >= 0) {
        x.push_back(peaks[size_t(best[r])].mz);
        y.push_back(reference[r]);
      }
    global = polyfit(x, y, x.size() >= 3 ? 2 : 1);
    best = match(peaks, reference, tol, [&](double p) { return evalPoly(global, p); });
  }
  std::vector<size_t> found;  // reference indices with a peak, rising
  for (size_t r = 0; r < best.size(); ++r)
    if (best[r] >= 0) found.push_back(r);
  if (found.size() < needed) {
    fit.error = "only " + std::to_string(found.size()) + " calibrant peaks line up with the " +
                "reference list; at least " + std::to_string(needed) + " are needed";
    return fit;
  }
  // 3. Segments: the found peaks shared out evenly, each fitted with its neighbours.
  SpeedCalibration sc;
  sc.speed = scan.scanTimeMs ? double(scan.end - scan.start) * 1000.0 / scan.scanTimeMs : 0;
  const size_t n = found.size(), s = size_t(segments);
  auto pos = [&](size_t i) { return peaks[size_t(best[found[i]])].mz; };
  for (size_t k = 0; k < s; ++k) {
    const size_t lo = k * n / s, hi = (k + 1) * n / s;  // [lo, hi) of found
    const size_t from = lo > 0 ? lo - 1 : lo, to = std::min(n, hi + 1);
    std::vector<double> x, y;
    for (size_t i = from; i < to; ++i) {
      x.push_back(pos(i));
      y.push_back(reference[found[i]]);
    }
    const auto c = polyfit(x, y, x.size() >= 3 ? 2 : 1);
    CalibrationSegment seg;
    seg.from = k == 0 ? 0 : (pos(lo - 1) + pos(lo)) / 2;
    seg.to = k + 1 == s ? 65535 : (pos(hi - 1) + pos(hi)) / 2;
    seg.c0 = c[0];
    seg.c1 = c[1];
    seg.c2 = c[2];
    if (!std::isfinite(seg.c0 + seg.c1 + seg.c2)) {
      fit.error = "the fit of segment " + std::to_string(k + 1) + " failed";
      return fit;
    }
    sc.segments.push_back(seg);
  }
  MassCalibration one;
  one.speeds.push_back(sc);
  for (size_t r = 0; r < reference.size(); ++r) {
    if (best[r] < 0) continue;
    const double p = peaks[size_t(best[r])].mz;
    double mz = 0;
    // The calibration's m/z at this exact position: the segment that covers it.
    const auto& segs = one.speeds.front().segments;
    auto it = std::find_if(segs.begin(), segs.end(), [&](const auto& g) { return p <= g.to; });
    mz = (it == segs.end() ? segs.back() : *it).mz(p);
    fit.matches[r] = {reference[r], true, p, mz};
  }
  fit.speed = sc;
  return fit;
}

}  // namespace zyl::acq
