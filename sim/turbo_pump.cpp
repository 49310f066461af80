#include "sim/turbo_pump.h"

#include <cmath>

#include "sim/hex.h"
#include "sim/physics.h"

namespace zyl::sim {
namespace {

constexpr size_t kMaxText = 64;  // a longer text without terminator is line noise

}  // namespace

std::string TurboPump::report(FirmwareContext& f) {
  const PhysicalModel& m = physicsNow(f);
  unsigned status = 0;
  if (m.runSwitch()) status |= kRunning;
  if (m.runSwitch() && m.standby()) status |= kStandby;
  if (m.speedHz() >= PhysicalModel::kAtSpeedHz) status |= kAtSpeed;
  std::string reply = "V852" + std::to_string(std::lround(m.speedHz())) + ';';
  appendHex(reply, status, 4);
  return reply;
}

std::string TurboPump::answerTo(FirmwareContext& f, std::string_view command) {
  if (command == "?V852") return report(f);
  if (command.size() != 7 || !command.starts_with("!C") || command[5] != ' ' ||
      (command[6] != '0' && command[6] != '1'))
    return "E";
  const bool on = command[6] == '1';
  const std::string_view parameter = command.substr(2, 3);
  PhysicalModel& m = physicsNow(f);  // the switch acts from now on
  if (parameter == "852")
    m.setRunSwitch(on);
  else if (parameter == "869")
    m.setStandby(on);
  else
    return "E";
  return std::string(command.substr(1));
}

void TurboPump::receive(FirmwareContext& f, std::span<const uint8_t> bytes,
                        std::deque<uint8_t>& answer) {
  for (uint8_t b : bytes) {
    if (b != '\r') {
      pending_.push_back(static_cast<char>(b));
      if (pending_.size() > kMaxText) pending_.clear();
      continue;
    }
    std::string reply = answerTo(f, pending_);
    pending_.clear();
    reply.push_back('\r');
    answer.insert(answer.end(), reply.begin(), reply.end());
  }
}

}  // namespace zyl::sim
