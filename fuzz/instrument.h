// The instrument object the fuzz targets drive. The scripted back end of the tests stands in for
// the instrument: commands the target names take their replies from the fuzz input, every other
// command is acknowledged, and a manual clock makes the library's pauses cost nothing. One object
// serves every input of a run; reset() puts back what an input may have changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "support/fake_backend.h"
#include "support/manual_clock.h"
#include "zyl/ZylInterface.h"

namespace zyl::fuzz {

// The fuzz input as text.
inline std::string_view text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// An input that carries several replies holds one per line, so such replies never hold a '\n'
// (the port replies they stand for are one-line texts).
std::vector<std::string_view> lines(std::string_view input);

class Instrument {
 public:
  // Connected and idle, on the firmware generation `v3`, heater readbacks in the status text as
  // `heaterReadbacks` says; nothing queued, the back end's record empty, no replies scripted.
  ZylInterface& reset(bool v3, bool heaterReadbacks);
  // Commands beginning with one of `commands` are answered with `replies` in order (a time-out
  // once they run out, as from a silent instrument); the views must outlive the input.
  void answer(std::initializer_list<std::string_view> commands,
              std::vector<std::string_view> replies);
  zyl::test::FakeBackend& usb() { return *usb_; }

  static Instrument& get();

 private:
  Instrument();
  zyl::test::ManualClock clock_;
  std::shared_ptr<zyl::test::FakeBackend> usb_;
  ZylInterface* z_;
  std::vector<std::string_view> commands_, replies_;
  size_t next_ = 0;
};

}  // namespace zyl::fuzz
