// The simulated controller's flash and the configuration commands around it.
//
// Regions 0 and 1 of 65,536 bytes each. Firmware from "VERSION110812" on selects a region with
// "-1B63NN" and has both; older firmware refuses the selection and reads and writes its only
// region, region 0. "-1B61" answers the selected region whole; "-1B60" announces a write, and the
// next command "-1B62" followed by exactly 65,536 bytes replaces the region and is answered "ACK"
// (a "-1B62" without the announcement, or of another size, is refused).
//
// A fresh instrument holds a configuration document of its own in region 0 (its supplies, gauge,
// heater controllers, housing, amplifier, RF box and serial number; the model is not stored, it is
// what "-1B07" answers) and an empty region 1. With InstrumentOptions::stateFile the flash is part
// of the state file (sim/state_file.h), written again after every accepted write.
//
// Also here: "-1B22" takes the frequency factor (V3 firmware answers the frequency it reads back
// as four hex digits, older firmware "ACK"; either way the readback becomes ADC channel 5) and
// "-1B0600"/"-1B0601" select the external or internal gauge (firmware that selects regions only).
// Tests reach the state with `inst->withFirmware([](FirmwareContext& f) { flashOf(f)... })`.
#pragma once

#include <zyl/sim/Firmware.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <zyl/limits.h>

namespace zyl::sim {

struct SimFlash {
  static constexpr size_t kRegionSize = ZYL_FLASH_REGION_BYTES;
  static constexpr int kRegions = 2;

  std::array<std::vector<uint8_t>, kRegions> regions;
  int selected = 0;
  bool writeAnnounced = false;
  uint64_t writes = 0;                      // accepted "-1B62" writes
  std::optional<bool> internalGauge;        // the last "-1B06" selection
  std::optional<uint32_t> frequencyFactor;  // the last "-1B22" factor

  // Writes `text` and zero bytes after it into a region.
  void store(int region, std::string_view text);
  // A region's text up to its first zero byte.
  std::string text(int region) const;
};

// The flash of the instrument, set up fresh on first use.
SimFlash& flashOf(FirmwareContext& f);
// The configuration document a fresh instrument holds in region 0.
std::string defaultConfiguration(const InstrumentOptions& options);

}  // namespace zyl::sim
