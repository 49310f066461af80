#include "sim/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <zyl/sim/Instrument.h>
#include <zyl/sim/Scan.h>

#include "sim/controller_io.h"
#include "sim/flash.h"
#include "sim/physics.h"
#include "sim/pirani_gauge.h"
#include "sim/serial_ports.h"

namespace zyl::sim {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMark = "zyl-sim-state";
constexpr int kFormat = 1;
constexpr std::string_view kUnits[] = {"mbar", "torr", "pascal"};

int64_t wallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---------------------------------------------------------------------------------------------
// Writing

class Writer {
 public:
  Writer& key(std::string_view k) {
    if (!text_.empty()) text_ += '\n';
    text_ += k;
    return *this;
  }
  template <class T>
  Writer& operator<<(T value) {
    char digits[32];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    text_.append(" ").append(digits, ec == std::errc() ? end : digits);
    return *this;
  }
  Writer& operator<<(std::string_view word) {
    text_.append(" ").append(word);
    return *this;
  }
  Writer& hex(uint64_t value, int width) {
    char digits[24];
    std::snprintf(digits, sizeof digits, " %0*llX", width, static_cast<unsigned long long>(value));
    text_ += digits;
    return *this;
  }
  Writer& bytes(std::span<const uint8_t> b) {
    text_.append("\n").append(b.begin(), b.end());
    return *this;
  }
  std::string done() { return std::move(text_) + "\nend\n"; }

 private:
  std::string text_;
};

std::string encode(FirmwareContext& f) {
  PhysicalModel& m = physicsNow(f);
  const ControllerIo& io = f.state().part<ControllerIo>();
  const DacSettings& dacs = f.state().part<ScanState>().dacs;
  SerialPorts& ports = f.state().part<SerialPorts>();
  const SimFlash& flash = flashOf(f);

  Writer w;
  w.key(kMark) << kFormat;
  w.key("saved-at") << wallClockMs();
  w.key("pump") << int{m.runSwitch()} << int{m.standby()} << m.speedHz() << m.pressureMbar();
  for (int i = 0; i < 3; ++i)
    w.key("heater") << i << int{m.heater(i).on} << m.heater(i).setpointC
                    << m.heater(i).temperatureC;
  w.key("outputs").hex(io.outputLines, 16);
  w.key("inputs").hex(io.digitalInputs, 4);
  w.key("adc");
  for (uint16_t v : io.adc) w.hex(v, 4);
  for (auto [input, setting] : io.analogInputSettings) w.key("analog-input") << input << setting;
  for (auto [channel, out] : io.analogOutputs)
    w.key("analog-output") << channel << out.mode << out.value;
  w.key("i2c").hex(io.i2c[0], 2).hex(io.i2c[1], 2).hex(io.i2c[2], 2);
  for (int ch = 0; ch < 16; ++ch)
    w.key("dac") << ch << int{dacs.ramped[ch]} << dacs.startCode[ch] << dacs.endCode[ch];
  w.key("dac-range") << dacs.rangeStart << dacs.rangeEnd;
  for (int ch = 0; ch < SerialPorts::kChannels; ++ch)
    if (ports.port(ch)->lineSetting >= 0) w.key("serial") << ch << ports.port(ch)->lineSetting;
  if (const PiraniGauge* gauge = ports.device<PiraniGauge>(SerialPorts::kGaugeChannel))
    w.key("gauge") << kUnits[static_cast<int>(gauge->unit())] << gauge->baud();
  if (flash.internalGauge)
    w.key("gauge-select") << std::string_view(*flash.internalGauge ? "internal" : "external");
  if (flash.frequencyFactor) w.key("frequency-factor").hex(*flash.frequencyFactor, 8);
  w.key("flash-select") << flash.selected;
  for (int r = 0; r < SimFlash::kRegions; ++r) {
    const auto& region = flash.regions[static_cast<size_t>(r)];
    const auto last = std::find_if(region.rbegin(), region.rend(), [](uint8_t b) { return b; });
    const size_t used = static_cast<size_t>(region.rend() - last);
    w.key("flash") << r << used;
    w.bytes(std::span(region).first(used));
  }
  return w.done();
}

std::string systemError(const std::string& what, const std::string& path) {
  return "cannot " + what + " the state file " + path + ": " + std::strerror(errno);
}

// Beside the file first, then renamed over it: a run cut short never leaves half a state, and a
// failed write leaves the old one.
std::string writeBeside(const std::string& path, std::string_view bytes) {
  std::error_code error;
  fs::path target = path;
  if (fs::is_symlink(target, error)) {  // replace what it points to, and keep the link
    if (fs::path real = fs::canonical(target, error); !error) target = real;
  }
  std::string temporary = target.string() + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return systemError("write", path);
  struct stat st {};
  const mode_t mode = stat(target.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
  bool ok = fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  std::string why = ok ? std::string() : systemError("write", path);
  if (close(fd) != 0 && why.empty()) why = systemError("write", path);
  if (why.empty() && std::rename(temporary.c_str(), target.c_str()) != 0)
    why = systemError("replace", path);
  if (!why.empty()) unlink(temporary.c_str());
  return why;
}

// ---------------------------------------------------------------------------------------------
// Reading

template <class T>
bool number(std::string_view text, T& value, int base = 10) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool real(std::string_view text, double& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

bool flag(std::string_view text, bool& value) {
  if (text != "0" && text != "1") return false;
  value = text == "1";
  return true;
}

template <class T>
bool hexNumber(std::string_view text, T& value, size_t width) {
  return text.size() == width && number(text, value, 16);
}

// One record, its fields split; `rest` is what follows its line (a flash record takes its bytes
// from there). False when it does not read.
bool apply(FirmwareContext& f, const std::vector<std::string_view>& r, std::string_view& rest,
           int64_t& savedAt) {
  PhysicalModel& m = f.state().part<PhysicalModel>();
  ControllerIo& io = f.state().part<ControllerIo>();
  DacSettings& dacs = f.state().part<ScanState>().dacs;
  SerialPorts& ports = f.state().part<SerialPorts>();
  SimFlash& flash = flashOf(f);
  const std::string_view key = r[0];
  const size_t n = r.size() - 1;
  if (key == "saved-at") return n == 1 && number(r[1], savedAt);
  if (key == "pump") {
    bool run = false, standby = false;
    double speed = 0, pressure = 0;
    if (n != 4 || !flag(r[1], run) || !flag(r[2], standby) || !real(r[3], speed) ||
        !real(r[4], pressure) || speed < 0 || speed > PhysicalModel::kFullSpeedHz ||
        pressure <= 0 || pressure > PhysicalModel::kVentPressureMbar)
      return false;
    m.setRunSwitch(run);
    m.setStandby(standby);
    m.setSpeedHz(speed);
    m.setPressureMbar(pressure);
    return true;
  }
  if (key == "heater") {
    int i = 0;
    PhysicalModel::Heater h;
    if (n != 4 || !number(r[1], i) || i < 0 || i > 2 || !flag(r[2], h.on) ||
        !real(r[3], h.setpointC) || !real(r[4], h.temperatureC))
      return false;
    m.heater(i) = h;
    return true;
  }
  if (key == "outputs") return n == 1 && hexNumber(r[1], io.outputLines, 16);
  if (key == "inputs") return n == 1 && hexNumber(r[1], io.digitalInputs, 4);
  if (key == "adc") {
    if (n != io.adc.size()) return false;
    for (size_t i = 0; i < io.adc.size(); ++i)
      if (!hexNumber(r[i + 1], io.adc[i], 4)) return false;
    return true;
  }
  if (key == "analog-input") {
    int input = 0, setting = 0;
    if (n != 2 || !number(r[1], input) || !number(r[2], setting)) return false;
    io.analogInputSettings[input] = setting;
    return true;
  }
  if (key == "analog-output") {
    int channel = 0;
    ControllerIo::AnalogOutput out;
    if (n != 3 || !number(r[1], channel) || !number(r[2], out.mode) || !number(r[3], out.value))
      return false;
    io.analogOutputs[channel] = out;
    return true;
  }
  if (key == "i2c") {
    if (n != io.i2c.size()) return false;
    for (size_t i = 0; i < io.i2c.size(); ++i)
      if (!hexNumber(r[i + 1], io.i2c[i], 2)) return false;
    return true;
  }
  if (key == "dac") {
    size_t ch = 0;
    bool ramped = false;
    if (n != 4 || !number(r[1], ch) || ch >= dacs.ramped.size() || !flag(r[2], ramped) ||
        !number(r[3], dacs.startCode[ch]) || !number(r[4], dacs.endCode[ch]))
      return false;
    dacs.ramped[ch] = ramped;
    return true;
  }
  if (key == "dac-range")
    return n == 2 && number(r[1], dacs.rangeStart) && number(r[2], dacs.rangeEnd);
  if (key == "serial") {
    int ch = 0;
    SerialPort* port = n == 2 && number(r[1], ch) ? ports.port(ch) : nullptr;
    return port && number(r[2], port->lineSetting) && port->lineSetting >= 0;
  }
  if (key == "gauge") {
    PiraniGauge* gauge = ports.device<PiraniGauge>(SerialPorts::kGaugeChannel);
    if (n != 2 || !gauge) return false;
    const auto unit = std::find(std::begin(kUnits), std::end(kUnits), r[1]);
    int baud = 0;
    if (unit == std::end(kUnits) || !number(r[2], baud) || baud <= 0) return false;
    gauge->setUnit(static_cast<PiraniGauge::Unit>(unit - std::begin(kUnits)));
    gauge->setBaud(baud);
    return true;
  }
  if (key == "gauge-select") {
    if (n != 1 || (r[1] != "internal" && r[1] != "external")) return false;
    flash.internalGauge = r[1] == "internal";
    return true;
  }
  if (key == "frequency-factor") {
    uint32_t factor = 0;
    if (n != 1 || !hexNumber(r[1], factor, 8)) return false;
    flash.frequencyFactor = factor;
    return true;
  }
  if (key == "flash-select")
    return n == 1 && number(r[1], flash.selected) && flash.selected >= 0 &&
           flash.selected < SimFlash::kRegions;
  if (key == "flash") {
    int region = 0;
    size_t used = 0;
    if (n != 2 || !number(r[1], region) || region < 0 || region >= SimFlash::kRegions ||
        !number(r[2], used) || used > SimFlash::kRegionSize || rest.size() <= used ||
        rest[used] != '\n')
      return false;
    flash.store(region, {});
    std::copy_n(rest.begin(), used, flash.regions[static_cast<size_t>(region)].begin());
    rest.remove_prefix(used + 1);
    return true;
  }
  return false;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at <= line.size();) {
    const size_t space = std::min(line.find(' ', at), line.size());
    out.push_back(line.substr(at, space - at));
    at = space + 1;
  }
  return out;
}

std::string_view takeLine(std::string_view& rest) {
  const size_t end = rest.find('\n');
  const std::string_view line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return line;
}

}  // namespace

void loadStateFile(FirmwareContext& f) {
  const std::string& path = f.options().stateFile;
  if (path.empty()) return;
  const auto refuse = [&](const std::string& why) {
    throw StateFileError("refusing to use or overwrite " + path + ": " + why);
  };
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return;
  if (status.type() == fs::file_type::directory) refuse("it is a directory");
  if (status.type() != fs::file_type::regular) refuse("it is not a regular file");
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (!in.is_open() || in.bad()) throw StateFileError(systemError("read", path));
  if (text.empty()) return;

  std::string_view rest = text;
  const std::vector<std::string_view> first = fields(takeLine(rest));
  int format = 0;
  if (first.size() != 2 || first[0] != kMark || !number(first[1], format))
    refuse("it is not a state file of the simulated instrument (its first line is not \"" +
           std::string(kMark) + " " + std::to_string(kFormat) + "\")");
  if (format != kFormat)
    refuse("its format " + std::to_string(format) + " is not the format " +
           std::to_string(kFormat) + " this simulator reads");
  int64_t savedAt = -1;
  for (;;) {
    if (rest.empty()) refuse("it is damaged: it ends before its \"end\" line");
    const auto line = 1 + std::count(text.c_str(), rest.data(), '\n');
    const std::vector<std::string_view> record = fields(takeLine(rest));
    if (record.size() == 1 && record[0] == "end" && rest.empty()) break;
    if (!apply(f, record, rest, savedAt))
      refuse("it is damaged: line " + std::to_string(line) + " (\"" +
             std::string(record[0].substr(0, 40)) + "\") does not read");
  }
  if (savedAt < 0) refuse("it is damaged: it has no \"saved-at\" line");

  // The instrument ran on its own since then, at this instrument's pace.
  PhysicalModel& m = f.state().part<PhysicalModel>();
  if (!f.clock().manual())
    m.elapse(static_cast<double>(std::max<int64_t>(0, wallClockMs() - savedAt)) *
             f.clock().scale());
  m.advanceTo(f.clock().nowMs());
}

std::string saveStateFile(FirmwareContext& f) {
  const std::string& path = f.options().stateFile;
  return path.empty() ? std::string() : writeBeside(path, encode(f));
}

}  // namespace zyl::sim
