// Configuration commands of the simulated controller: its flash regions, the frequency factor and
// the gauge selection (see sim/flash.h).
#include <algorithm>
#include <charconv>
#include <cstdio>

#include <zyl/sim/Instrument.h>

#include "sim/controller_io.h"
#include "sim/flash.h"
#include "sim/state_file.h"

namespace zyl::sim {

namespace {

// Firmware from this version on (first 13 characters, byte order) has two regions to select and
// the gauge selection.
constexpr std::string_view kRegionsFrom = "VERSION110812";
constexpr size_t kVersionCompared = 13;
constexpr std::string_view kWritePrefix = "-1B62";

bool selectsRegions(FirmwareContext& f) {
  return std::string_view(f.state().version).substr(0, kVersionCompared) >= kRegionsFrom;
}

std::string xmlEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '&')
      out += "&amp;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

void onWrite(CommandContext& c) {
  SimFlash& flash = flashOf(c);
  const std::span<const uint8_t> bytes = c.bytes();
  if (!flash.writeAnnounced || bytes.size() != kWritePrefix.size() + SimFlash::kRegionSize) {
    flash.writeAnnounced = false;
    return c.refuse();
  }
  flash.writeAnnounced = false;
  auto& region = flash.regions[static_cast<size_t>(flash.selected)];
  region.assign(bytes.begin() + kWritePrefix.size(), bytes.end());
  ++flash.writes;
  // The controller has written its flash, whatever happens to the file that keeps it: a save that
  // fails is said here, and again by whoever saves the state next.
  if (const std::string why = saveStateFile(c); !why.empty())
    std::fprintf(stderr, "zyl simulator: %s\n", why.c_str());
  c.ack();
}

// The frequency the RF box reads back for a factor: a 16-bit count.
uint16_t frequencyReadback(uint32_t factor) {
  return static_cast<uint16_t>(factor >> 4);
}

void onFrequencyFactor(CommandContext& c) {
  const std::string_view digits = c.args();
  uint32_t factor = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), factor, 16);
  if (digits.size() != 8 || ec != std::errc() || end != digits.data() + digits.size())
    return c.refuse();
  flashOf(c).frequencyFactor = factor;
  const uint16_t readback = frequencyReadback(factor);
  c.state().part<ControllerIo>().adc[5] = readback;
  if (!c.state().isV3()) return c.ack();
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(readback));
  c.reply(std::string_view(text));
}

}  // namespace

void SimFlash::store(int region, std::string_view text) {
  auto& bytes = regions[static_cast<size_t>(region)];
  bytes.assign(kRegionSize, 0);
  std::copy_n(text.begin(), std::min(text.size(), kRegionSize), bytes.begin());
}

std::string SimFlash::text(int region) const {
  const auto& bytes = regions[static_cast<size_t>(region)];
  auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  return std::string(bytes.begin(), end);
}

std::string defaultConfiguration(const InstrumentOptions& options) {
  return "<flashMemory version=\"1.0\"><hardwareVersion>Beta</hardwareVersion>"
         "<frequency>00015000</frequency><massPot>80</massPot>"
         "<sourcePSU>Spellman MX8PN24/720</sourcePSU><lensPSU>Applied MS009MZZ652</lensPSU>"
         "<dynodePSU>Spellman MXP10PN/15</dynodePSU>"
         "<capillaryHeater>Watlow PM3 Series</capillaryHeater>"
         "<desolvationGasHeater>Watlow PM3 Series</desolvationGasHeater>"
         "<apciGasHeater>Watlow PM3 Series</apciGasHeater><serialNumber>" +
         xmlEscaped(options.serialNumber) +
         "</serialNumber><qcData></qcData><piraniType>Internal</piraniType>"
         "<housingType>Generation 2</housingType><headAmpType>Fast Amp</headAmpType>"
         "<rfBoxType>Si5351 Adjustable</rfBoxType></flashMemory>";
}

SimFlash& flashOf(FirmwareContext& f) {
  struct Loaded {
    SimFlash flash;
    bool ready = false;
  };
  Loaded& loaded = f.state().part<Loaded>();
  if (!loaded.ready) {
    loaded.ready = true;
    loaded.flash.store(0, defaultConfiguration(f.options()));
    loaded.flash.store(1, {});
  }
  return loaded.flash;
}

void installConfigCommands(Firmware& firmware) {
  firmware.on("63", [](CommandContext& c) {
    int region = -1;
    const std::string_view digits = c.args();
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), region);
    if (!selectsRegions(c) || digits.size() != 2 || ec != std::errc() ||
        end != digits.data() + digits.size() || region < 0 || region >= SimFlash::kRegions)
      return c.refuse();
    flashOf(c).selected = region;
    c.ack();
  });
  firmware.on("61", [](CommandContext& c) {
    SimFlash& flash = flashOf(c);
    c.reply(std::span<const uint8_t>(flash.regions[static_cast<size_t>(flash.selected)]));
  });
  firmware.on("60", [](CommandContext& c) {
    flashOf(c).writeAnnounced = true;
    c.ack();
  });
  firmware.on("62", onWrite);
  firmware.on("22", onFrequencyFactor);
  firmware.on("06", [](CommandContext& c) {
    if (!selectsRegions(c) || (c.args() != "00" && c.args() != "01")) return c.refuse();
    flashOf(c).internalGauge = c.args() == "01";
    c.ack();
  });
}

}  // namespace zyl::sim
