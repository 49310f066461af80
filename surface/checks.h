// The checks of what a user gives, shared by every surface so that each refuses the same input
// with the same words. A check returns "" when the input is good, else the whole message; the tool
// shows it with exit 1, the Python module raises InvalidArgumentError with it.
//
// Decisions of ours: a heater set-point is 0 to 500 °C (the controllers' working range; the
// digital board carries whole degrees in four hex digits, Modbus a float), a last pump-down time
// is 0 to 2147483647 seconds of calendar time (it is kept as 32 bits), and a scan may not give
// more points than the scan reply holds beside its trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "zyl/limits.h"

namespace zyl::surface {

// A number a user gives: what it is called in messages, its valid range and unit.
struct Limit {
  std::string_view what;
  double lo, hi;
  std::string_view unit = "";
  bool whole = true;  // integers only
};

inline constexpr Limit kDigitalOutput{"digital output", 0, 63};
inline constexpr Limit kDigitalInput{"digital input", 0, 15};
inline constexpr Limit kAdcChannel{"ADC channel", 0, 31};
inline constexpr Limit kAnalogOutput{"analog output", 0, 8};
inline constexpr Limit kAnalogValue{"analog output value", 0, 65535};
inline constexpr Limit kAnalogMode{"analog output mode", 0, 15};
inline constexpr Limit kDacChannel{"DAC channel", 0, 15};
inline constexpr Limit kI2cByte{"I2C byte", 0, 255};
inline constexpr Limit kSerialChannel{"serial channel", 0, 15};
inline constexpr Limit kModbusAddress{"Modbus device address", 1, 247};
inline constexpr Limit kModbusRegister{"Modbus register", 0, 65535};
inline constexpr Limit kScanPosition{"scan position", 0, 65535};
inline constexpr Limit kScanTime{"scan time", 1, 14784957, " ms"};
inline constexpr Limit kHeaterSetpoint{"heater set-point", 0, 500, " °C", false};
inline constexpr Limit kLastPumpDown{"last-pump-down", 0, 2147483647, " s"};
inline constexpr Limit kWatchSeconds{"watch time", 0, 86400, " s", false};
inline constexpr Limit kFlashRegion{"flash region", 0, 1};

// "" when `value` is a number inside `limit`.
std::string checkValue(const Limit& limit, double value);
// The same for text from a command line; "not a number" when it is none (or not all of it).
std::string checkText(const Limit& limit, std::string_view text);

// Scans: the start below the end, and no more points than the scan reply holds.
std::string checkScan(long long from, long long to, long long timeMs);
// How many points the instrument gives for a scan: one per 8192 position-milliseconds.
uint64_t scanPoints(long long from, long long to, long long timeMs);

// Text kept as raw markup inside the qcData element must parse as element content.
std::string checkQcData(std::string_view text);
// Plain text as element content: & < > written as references.
std::string escapeText(std::string_view text);

// A firmware image or a flash file: `what` names it in the message.
std::string checkNotEmpty(std::string_view what, size_t bytes);
// Content of `bytes` bytes (qc-data) cannot fit the configuration document's flash region.
std::string checkDocumentFits(size_t bytes);

// "VERSION", six digits, then letters, digits and dashes ("VERSION130904A-V3", "VERSION110812").
std::string checkFirmwareVersion(std::string_view text);

}  // namespace zyl::surface
