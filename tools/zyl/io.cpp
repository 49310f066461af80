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

// Older firmware is asked now; V3 firmware streams its inputs, so take one frame of the stream.
unsigned int refreshInputs(ZylInterface& z) {
  if (!z.IsV3()) return z.ForceStatusUpdate();
  const bool streamed = awaitStreamedStatus(z);
  z.EnableStatusReporting(false);
  return streamed ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}

}  // namespace

void addIoCommand(CLI::App& app, Action& run) {
  CLI::App* dio = addCommand(app, "dio", "Digital and analog I/O (no subcommand: show all)",
                             "zyl --sim dio set 5 on; zyl --sim dio adc 3");

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
        if (unsigned int status = refreshInputs(session.instrument()); status != ZYL_SUCCESS)
          return session.result(status, "status refresh");
        session.print(allChannels(session.instrument()));
        return kOk;
      };
  });

  CLI::App* set = addCommand(*dio, "set", "Switch one digital output (0-63)", "zyl dio set 14 on");
  set->add_option("channel", args->channel, "Output channel, 0-63")
      ->required()
      ->check(CLI::Range(0, 63));
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

  CLI::App* get = addCommand(*dio, "get", "Show one digital output, or all outputs and inputs",
                             "zyl --json dio get");
  auto getChannel =
      get->add_option("channel", args->channel, "Output channel, 0-63")->check(CLI::Range(0, 63));
  get->callback([&run, args, getChannel] {
    const bool one = getChannel->count() > 0;
    run = [args, one](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      if (unsigned int status = refreshInputs(z); status != ZYL_SUCCESS)
        return session.result(status, "status refresh");
      if (!one) {
        session.print(allChannels(z));
        return kOk;
      }
      const auto ch = static_cast<unsigned char>(args->channel);
      session.print({{"channel", args->channel}, {"on", z.GetDigOut(ch) != 0}});
      return kOk;
    };
  });

  CLI::App* in = addCommand(*dio, "in", "Read one digital input (0-15)", "zyl dio in 3");
  in->add_option("channel", args->channel, "Input channel, 0-15")
      ->required()
      ->check(CLI::Range(0, 15));
  in->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      if (unsigned int status = refreshInputs(z); status != ZYL_SUCCESS)
        return session.result(status, "status refresh");
      session.print({{"channel", args->channel},
                     {"on", z.GetDigIn(static_cast<unsigned char>(args->channel)) != 0}});
      return kOk;
    };
  });

  CLI::App* adc = addCommand(*dio, "adc", "Read one ADC channel (0-31)", "zyl dio adc 10");
  adc->add_option("channel", args->channel, "ADC channel, 0-31")
      ->required()
      ->check(CLI::Range(0, 31));
  adc->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      if (unsigned int status = refreshInputs(z); status != ZYL_SUCCESS)
        return session.result(status, "status refresh");
      session.print({{"channel", args->channel},
                     {"value", z.ReadADC(static_cast<unsigned char>(args->channel))}});
      return kOk;
    };
  });

  CLI::App* analog =
      addCommand(*dio, "analog", "Set an analog output", "zyl dio analog 0 4779 --mode 2");
  analog
      ->add_option("channel", args->channel,
                   "Analog output, 0-8 (the command carries channel + 1 as one digit)")
      ->required()
      ->check(CLI::Range(0, 8));
  analog->add_option("value", args->value, "Output value, 0-65535")
      ->required()
      ->check(CLI::Range(0, 0xFFFF));
  analog->add_option("--mode", args->mode, "Output mode (0-15)")->check(CLI::Range(0, 15));
  analog->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      const unsigned int status = session.instrument().SetAnalogOutput(
          args->channel, static_cast<unsigned short>(args->value), args->mode);
      if (status != ZYL_SUCCESS) return session.result(status, "analog output");
      session.print(
          {{"analog_output", args->channel}, {"value", args->value}, {"mode", args->mode}});
      return kOk;
    };
  });

  CLI::App* i2c =
      addCommand(*dio, "i2c", "Send three bytes to the I2C setter", "zyl dio i2c 1 2 255");
  i2c->add_option("bytes", args->bytes, "Three byte values, 0-255 each")
      ->required()
      ->expected(3)
      ->check(CLI::Range(0, 255));
  i2c->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      const unsigned int status = session.instrument().SetI2C(
          static_cast<unsigned char>(args->bytes[0]), static_cast<unsigned char>(args->bytes[1]),
          static_cast<unsigned char>(args->bytes[2]));
      if (status != ZYL_SUCCESS) return session.result(status, "I2C");
      session.print({{"i2c", args->bytes}});
      return kOk;
    };
  });
}

}  // namespace zyl::tool
