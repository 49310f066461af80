#include "instrument.h"

#include <optional>
#include <string>

namespace zyl::fuzz {

std::vector<std::string_view> lines(std::string_view input) {
  std::vector<std::string_view> out;
  for (size_t start = 0; start <= input.size();) {
    const size_t end = std::min(input.find('\n', start), input.size());
    out.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

Instrument& Instrument::get() {
  // Never destroyed: the instrument object's destructor would talk to a back end that may be gone.
  static Instrument* instance = new Instrument;
  return *instance;
}

Instrument::Instrument() : usb_(std::make_shared<zyl::test::FakeBackend>()) {
  zyl::usb::useBackend(usb_);
  z_ = new ZylInterface;
  usb_->responder = [this](std::string_view command) -> std::optional<std::string> {
    for (std::string_view c : commands_) {
      if (command.substr(0, c.size()) != c) continue;
      if (next_ == replies_.size()) return std::nullopt;
      return std::string(replies_[next_++]);
    }
    return command == "-1B05" ? usb_->version : std::string("ACK");
  };
}

ZylInterface& Instrument::reset(bool v3, bool heaterReadbacks) {
  answer({}, {});
  z_->ClearFX2Buffers();  // drops what the last input left queued (fails harmlessly at first)
  usb_->clearRecord();
  z_->communicationState = CommInitialized;
  z_->firmwareV3 = v3;
  z_->heaterReadbacksInStatus = heaterReadbacks;
  return *z_;
}

void Instrument::answer(std::initializer_list<std::string_view> commands,
                        std::vector<std::string_view> replies) {
  commands_.assign(commands);
  replies_ = std::move(replies);
  next_ = 0;
}

}  // namespace zyl::fuzz
