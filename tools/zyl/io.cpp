// zyl dio ...: digital outputs and inputs, ADC readings, analog outputs, I2C.
#include "tools/zyl/session.h"

namespace zyl::tool {
namespace {

nlohmann::ordered_json allChannels(ZylInterface& z) {
  std::string outputs, inputs;
  for (unsigned char ch = 0; ch < 64; ++ch) outputs += z.GetDigOut(ch) ? '1' : '0';
  for (unsigned char ch = 0; ch < 16; ++ch) inputs += z.GetDigIn(ch) ? '1' : '0';
  return {{"outputs_0_63", outputs}, {"inputs_0_15", inputs}};
}

// Older firmware is polled; V3 firmware streams its inputs, so take one frame of the stream.
void refreshInputs(ZylInterface& z) {
  if (!z.IsV3()) {
    z.UpdateStatusIfNeeded();
    return;
  }
  awaitStreamedStatus(z);
  z.EnableStatusReporting(false);
}

}  // namespace

void addIoCommand(CLI::App& app, Action& run) {
  CLI::App* dio = app.add_subcommand("dio", "Digital and analog I/O (no subcommand: show all)");

  struct Args {
    int channel = 0;
    std::string state;
    bool noSend = false;
    int value = 0;
    int mode = 0;
    std::vector<int> bytes;
  };
  auto args = std::make_shared<Args>();

  dio->callback([&run, dio] {
    if (dio->get_subcommands().empty())
      run = [](Session& session) -> int {
        if (auto failed = session.requireInstrument()) return *failed;
        refreshInputs(session.instrument());
        session.print(allChannels(session.instrument()));
        return kOk;
      };
  });

  CLI::App* set = dio->add_subcommand("set", "Switch one digital output (0-63)");
  set->add_option("channel", args->channel)->required()->check(CLI::Range(0, 255));
  set->add_option("state", args->state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  set->add_flag("--no-send", args->noSend, "Only store the new state; send it with the next one");
  set->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      const auto ch = static_cast<unsigned char>(args->channel);
      const unsigned int status = z.SetDigOut(ch, args->state == "on", args->noSend ? 0 : 1);
      if (status != ZYL_SUCCESS) return session.result(status, "digital output");
      session.print({{"channel", args->channel}, {"on", z.GetDigOut(ch) != 0}});
      return kOk;
    };
  });

  CLI::App* get = dio->add_subcommand("get", "Show one digital output, or all outputs and inputs");
  auto getChannel = get->add_option("channel", args->channel)->check(CLI::Range(0, 255));
  get->callback([&run, args, getChannel] {
    const bool one = getChannel->count() > 0;
    run = [args, one](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      refreshInputs(z);
      if (!one) {
        session.print(allChannels(z));
        return kOk;
      }
      const auto ch = static_cast<unsigned char>(args->channel);
      session.print({{"channel", args->channel}, {"on", z.GetDigOut(ch) != 0}});
      return kOk;
    };
  });

  CLI::App* in = dio->add_subcommand("in", "Read one digital input (0-15)");
  in->add_option("channel", args->channel)->required()->check(CLI::Range(0, 255));
  in->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      refreshInputs(z);
      session.print({{"channel", args->channel},
                     {"on", z.GetDigIn(static_cast<unsigned char>(args->channel)) != 0}});
      return kOk;
    };
  });

  CLI::App* adc = dio->add_subcommand("adc", "Read one ADC channel (0-31)");
  adc->add_option("channel", args->channel)->required()->check(CLI::Range(0, 255));
  adc->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      refreshInputs(z);
      session.print({{"channel", args->channel},
                     {"value", z.ReadADC(static_cast<unsigned char>(args->channel))}});
      return kOk;
    };
  });

  CLI::App* analog = dio->add_subcommand("analog", "Set an analog output");
  analog->add_option("channel", args->channel)->required()->check(CLI::Range(0, 9));
  analog->add_option("value", args->value)->required()->check(CLI::Range(0, 0xFFFF));
  analog->add_option("--mode", args->mode, "Output mode (0-15)")->check(CLI::Range(0, 15));
  analog->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      return session.result(
          session.instrument().SetAnalogOutput(
              args->channel, static_cast<unsigned short>(args->value), args->mode),
          "analog output");
    };
  });

  CLI::App* i2c = dio->add_subcommand("i2c", "Send three bytes to the I2C setter");
  i2c->add_option("bytes", args->bytes, "Three byte values")
      ->required()
      ->expected(3)
      ->check(CLI::Range(0, 255));
  i2c->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      return session.result(session.instrument().SetI2C(static_cast<unsigned char>(args->bytes[0]),
                                                        static_cast<unsigned char>(args->bytes[1]),
                                                        static_cast<unsigned char>(args->bytes[2])),
                            "I2C");
    };
  });
}

}  // namespace zyl::tool
