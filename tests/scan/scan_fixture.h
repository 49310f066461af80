// Shared pieces of the scanning tests: an instrument object connected to the scripted fake, and
// scan replies of the older firmware built byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/LinkFixture.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {

// A version before 030512 (no limits suffix), one after it, and the streaming generation.
inline constexpr const char* kOldVersion = "VERSION020101";
inline constexpr const char* kSuffixVersion = "VERSION110812";
inline constexpr const char* kV3Version = "VERSION130904A-V3";

class ScanLinkTest : public FakeLinkTest {
 protected:
  // An instrument object of the given firmware, connected, with the connection's traffic and
  // the DAC flag's initial state left as construction made them.
  std::unique_ptr<ZylInterface> connect(const char* version) {
    fake->version = version;
    auto z = std::make_unique<ZylInterface>();
    EXPECT_EQ(z->GetCommunicationState(), CommInitialized);
    fake->clearRecord();
    return z;
  }
  // Commands written since the last clearRecord whose text starts with `prefix`.
  std::vector<std::string> written(std::string_view prefix) const {
    std::vector<std::string> out;
    for (auto& w : fake->writes())
      if (std::string_view(w).starts_with(prefix)) out.push_back(w);
    return out;
  }
  // Answers every scan command with `reply`, the version query with the version and every
  // other command with "ACK".
  void answerScansWith(std::string reply) {
    fake->responder = [reply,
                       f = fake.get()](std::string_view command) -> std::optional<std::string> {
      if (command == "-1B05") return f->version;
      if (command.starts_with("-1B90")) return reply;
      return std::string("ACK");
    };
  }
};

inline void appendLe16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}

// A reply as the older firmware sends it: `wire` points exactly as on the wire (bit 31 still
// inverted), the 32 readings, the inputs, the serial text and the count `n` (the number of
// points unless given).
inline std::string scanReply(const std::vector<uint32_t>& wire, const std::array<uint16_t, 32>& adc,
                             uint16_t inputs, std::string_view text,
                             std::optional<uint32_t> n = std::nullopt) {
  std::string s;
  for (uint32_t p : wire)
    for (int b = 0; b < 4; ++b) s.push_back(static_cast<char>(p >> (8 * b)));
  for (uint16_t a : adc) appendLe16(s, a);
  appendLe16(s, inputs);
  s.append(text);
  const uint32_t count = n.value_or(static_cast<uint32_t>(wire.size()));
  for (int b = 3; b >= 0; --b) s.push_back(static_cast<char>(count >> (8 * b)));
  return s;
}

inline std::array<uint16_t, 32> rampReadings(uint16_t step) {
  std::array<uint16_t, 32> adc{};
  for (size_t i = 0; i < adc.size(); ++i) adc[i] = static_cast<uint16_t>(i * step + 1);
  return adc;
}

}  // namespace zyl::test
