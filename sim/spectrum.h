// The synthetic spectrum of the simulated instrument (rules in zyl/sim/Scan.h). A firmware part:
// its peaks are drawn from the instrument's seed on first use, its noise follows on from scan to
// scan.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include <zyl/sim/Scan.h>

namespace zyl::sim {

class SpectrumModel {
 public:
  static constexpr double kBaseline = 200;
  static constexpr double kBaselineNoise = 15;
  static constexpr double kPositionMsPerPoint = 8192;
  static constexpr double kInvertedPolarityYield = 1.0 / 3;

  struct Peak {
    double position;
    double height;
    double width;  // sigma, in scan positions
  };

  // Writes the n points of `request` shaped by `dacs` to `out` (4 n bytes), as the controller
  // sends them: least significant byte first, bit 31 inverted.
  void render(uint64_t seed, const ScanRequest& request, const DacSettings& dacs, uint64_t n,
              uint8_t* out);
  const std::array<Peak, 5>& peaks(uint64_t seed);

  // The instrument's own mass axis, hidden from the host, which finds it by calibrating: m/z at a
  // scan position, a cubic drawn from the seed (about 20 + 0.0305 p, a few m/z from straight at
  // the top), and its inverse.
  double trueMz(uint64_t seed, double position);
  double truePosition(uint64_t seed, double mz);
  // The calibrant's peaks on the true axis, seen `lagMs` late at the sweep's speed.
  static constexpr double kCalibrantHeight = 12000;
  static constexpr double kCalibrantWidth = 25;  // sigma, in scan positions
  static constexpr double kDetectorLagMs = 0.2;

 private:
  void init(uint64_t seed);
  bool ready_ = false;
  std::array<Peak, 5> peaks_{};
  std::array<double, 4> axis_{};  // m/z = a + b p + c p^2 + d p^3
  std::array<double, kCalibrantMz.size()> calibrantAt_{};
  std::mt19937_64 noise_;
};

}  // namespace zyl::sim
