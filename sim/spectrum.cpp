// The synthetic spectrum: five Gaussian peaks over a noisy baseline, shaped by the DAC codes.
#include "sim/spectrum.h"

#include <algorithm>
#include <cmath>

namespace zyl::sim {

namespace {

constexpr double kGainCodesPerDoubling = 8192;
constexpr double kResolutionCodesPerHalving = 16384;
constexpr double kOffsetCodesPerPosition = 16;
constexpr double kPeakReach = 6;  // sigmas beyond which a peak adds nothing worth computing
constexpr int kGainChannel = 0;
constexpr int kResolutionChannel = 8;
constexpr int kOffsetChannel = 9;

// A ramped channel's code at a fraction of the sweep; a fixed channel's code everywhere.
double codeAt(const DacSettings& dacs, int channel, double fraction) {
  const double s = dacs.startCode[static_cast<size_t>(channel)];
  if (!dacs.ramped[static_cast<size_t>(channel)]) return s;
  return s + (dacs.endCode[static_cast<size_t>(channel)] - s) * fraction;
}

}  // namespace

uint64_t scanPointCount(uint16_t start, uint16_t end, uint32_t ticks) {
  if (end <= start) return 0;
  // width x ms / 8192 with ms = ticks x 940 / 273066, in integers: no rounding drift.
  return uint64_t{static_cast<uint16_t>(end - start)} * ticks * 940 / (uint64_t{273066} * 8192);
}

double scanPosition(uint16_t start, uint16_t end, uint64_t n, uint64_t i) {
  if (n == 0) return start;
  return start + double(end - start) * double(i) / double(n);
}

void SpectrumModel::init(uint64_t seed) {
  std::mt19937_64 rng(seed ^ 0x5CA45CA4u);
  std::uniform_real_distribution<double> position(4000, 61000);
  std::uniform_real_distribution<double> decades(4.3, 5.7);  // 20,000 to 500,000 counts
  std::uniform_real_distribution<double> width(40, 160);
  for (Peak& p : peaks_) p = {position(rng), std::pow(10.0, decades(rng)), width(rng)};
  std::sort(peaks_.begin(), peaks_.end(),
            [](const Peak& a, const Peak& b) { return a.position < b.position; });
  noise_.seed(seed ^ 0x0B5E55EDu);
  // Drawn from a generator of its own, so the sample's peaks stay what they were.
  std::mt19937_64 axis(seed ^ 0xCA11B8A7Eu);
  std::uniform_real_distribution<double> unit(-1, 1);
  axis_ = {20 + 3 * unit(axis), 0.0305 * (1 + 0.01 * unit(axis)), 5e-9 * (1 + 0.5 * unit(axis)),
           2e-14 * unit(axis)};
  ready_ = true;
  for (size_t k = 0; k < kCalibrantMz.size(); ++k)
    calibrantAt_[k] = truePosition(seed, kCalibrantMz[k]);
}

double SpectrumModel::trueMz(uint64_t seed, double p) {
  if (!ready_) init(seed);
  return axis_[0] + p * (axis_[1] + p * (axis_[2] + p * axis_[3]));
}

double SpectrumModel::truePosition(uint64_t seed, double mz) {
  if (!ready_) init(seed);
  double p = (mz - axis_[0]) / axis_[1];
  for (int i = 0; i < 20; ++i) {  // Newton: the axis rises steeply and bends little
    const double slope = axis_[1] + p * (2 * axis_[2] + p * 3 * axis_[3]);
    p -= (trueMz(seed, p) - mz) / slope;
  }
  return p;
}

const std::array<SpectrumModel::Peak, 5>& SpectrumModel::peaks(uint64_t seed) {
  if (!ready_) init(seed);
  return peaks_;
}

void SpectrumModel::render(uint64_t seed, const ScanRequest& request, const DacSettings& dacs,
                           uint64_t n, uint8_t* out) {
  if (!ready_) init(seed);
  const double gain = std::exp2(codeAt(dacs, kGainChannel, 0) / kGainCodesPerDoubling) *
                      (request.normalPolarity ? 1.0 : kInvertedPolarityYield);
  std::normal_distribution<double> baseline(kBaseline, kBaselineNoise);
  std::normal_distribution<double> shot(0, 1);
  // Positions per ms of the sweep, from the ticks the scan command carried.
  const double ms = double(request.ticks) * 940.0 / 273066.0;
  const double speed = ms > 0 ? double(request.end - request.start) / ms : 0;
  for (uint64_t i = 0; i < n; ++i) {
    const double fraction = double(i) / double(n);
    const double x = scanPosition(request.start, request.end, n, i);
    const double sharpen =
        std::exp2(-codeAt(dacs, kResolutionChannel, fraction) / kResolutionCodesPerHalving);
    const double shift = codeAt(dacs, kOffsetChannel, fraction) / kOffsetCodesPerPosition;
    double counts = baseline(noise_);
    const double lag = speed * SpectrumModel::kDetectorLagMs;
    for (double at : calibrantAt_) {
      const double sigma = kCalibrantWidth * sharpen;
      const double d = (x - at - lag - shift) / sigma;
      if (std::abs(d) > kPeakReach) continue;
      const double mean = gain * kCalibrantHeight * std::exp(-0.5 * d * d);
      counts += mean + std::sqrt(mean) * shot(noise_);
    }
    for (const Peak& p : peaks_) {
      const double sigma = p.width * sharpen;
      const double d = (x - p.position - shift) / sigma;
      if (std::abs(d) > kPeakReach) continue;
      const double mean = gain * p.height * std::exp(-0.5 * d * d);
      counts += mean + std::sqrt(mean) * shot(noise_);  // counting noise
    }
    const uint32_t value =
        static_cast<uint32_t>(std::clamp(counts, 0.0, double(0x7FFFFFFF))) ^ 0x80000000u;
    out[4 * i] = static_cast<uint8_t>(value);
    out[4 * i + 1] = static_cast<uint8_t>(value >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(value >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(value >> 24);
  }
}

}  // namespace zyl::sim
