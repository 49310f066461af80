// zyl dio ...: digital outputs and inputs, ADC readings, analog outputs, I2C.
#include "tools/zyl/commands.h"
#include "tools/zyl/readings.h"

namespace zyl::tool {

std::string outputsText(ZylInterface& z) {
  std::string outputs;
  for (unsigned char ch = 0; ch < 64; ++ch) outputs += z.GetDigOut(ch) ? '1' : '0';
  return outputs;
}

namespace {

struct IoArgs {
  int channel = 0;
  std::string state;
  bool noSend = false;
  int value = 0;
  int mode = 0;
  std::vector<int> bytes;
};

nlohmann::ordered_json allChannels(ZylInterface& z) {
  std::string inputs;
  for (unsigned char ch = 0; ch < 16; ++ch) inputs += z.GetDigIn(ch) ? '1' : '0';
  return {{"outputs_0_63", outputsText(z)}, {"inputs_0_15", inputs}};
}

// Older firmware is asked now; V3 firmware streams its inputs, so take one frame of the stream.
unsigned int refreshInputs(ZylInterface& z) {
  if (!z.IsV3()) return z.ForceStatusUpdate();
  const bool streamed = awaitStreamedStatus(z);
  z.EnableStatusReporting(false);
  return streamed ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}

// A reading command: the inputs refreshed, then `show` prints.
Action reading(std::function<nlohmann::ordered_json(ZylInterface&)> show) {
  return withInstrument([show = std::move(show)](Session& session, ZylInterface& z) {
    if (unsigned int status = refreshInputs(z); status != ZYL_SUCCESS)
      return session.result(status, "status refresh");
    session.print(show(z));
    return static_cast<int>(kOk);
  });
}

void addOutputCommands(CLI::App& dio, Action& run, std::shared_ptr<IoArgs> args) {
  CLI::App* set = addCommand(dio, "set", "Switch one digital output (0-63)", "zyl dio set 14 on");
  set->add_option("channel", args->channel, "Output channel, 0-63")
      ->required()
      ->check(within(surface::kDigitalOutput));
  set->add_option("state", args->state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  set->add_flag("--no-send", args->noSend,
                "Only store the new state; the next output sent carries it");
  set->callback([&run, args] {
    run = withInstrument([args](Session& session, ZylInterface& z) -> int {
      const auto ch = static_cast<unsigned char>(args->channel);
      const unsigned int status = z.SetDigOut(ch, args->state == "on", args->noSend ? 0 : 1);
      if (status != ZYL_SUCCESS) return session.result(status, "digital output");
      const bool on = z.GetDigOut(ch) != 0;
      nlohmann::ordered_json out{{"channel", args->channel}, {"on", on}};
      if (args->noSend && session.options().json) out["sent"] = false;
      if (args->noSend && !session.options().json)
        out["on"] = std::string(on ? "yes" : "no") + " (stored, not sent)";
      session.print(out);
      return kOk;
    });
  });

  CLI::App* get = addCommand(dio, "get", "Show one digital output, or all outputs and inputs",
                             "zyl --json dio get");
  auto channel = get->add_option("channel", args->channel, "Output channel, 0-63")
                     ->check(within(surface::kDigitalOutput));
  get->callback([&run, args, channel] {
    if (channel->count() == 0) return void(run = reading(allChannels));
    run = reading([args](ZylInterface& z) -> nlohmann::ordered_json {
      return {{"channel", args->channel},
              {"on", z.GetDigOut(static_cast<unsigned char>(args->channel)) != 0}};
    });
  });
}

void addInputCommands(CLI::App& dio, Action& run, std::shared_ptr<IoArgs> args) {
  CLI::App* in = addCommand(dio, "in", "Read one digital input (0-15)", "zyl dio in 3");
  in->add_option("channel", args->channel, "Input channel, 0-15")
      ->required()
      ->check(within(surface::kDigitalInput));
  in->callback([&run, args] {
    run = reading([args](ZylInterface& z) -> nlohmann::ordered_json {
      return {{"channel", args->channel},
              {"on", z.GetDigIn(static_cast<unsigned char>(args->channel)) != 0}};
    });
  });

  CLI::App* adc = addCommand(dio, "adc", "Read one ADC channel (0-31)", "zyl dio adc 10");
  adc->add_option("channel", args->channel, "ADC channel, 0-31")
      ->required()
      ->check(within(surface::kAdcChannel));
  adc->callback([&run, args] {
    run = reading([args](ZylInterface& z) -> nlohmann::ordered_json {
      return {{"channel", args->channel},
              {"value", z.ReadADC(static_cast<unsigned char>(args->channel))}};
    });
  });
}

void addAnalogCommands(CLI::App& dio, Action& run, std::shared_ptr<IoArgs> args) {
  CLI::App* analog =
      addCommand(dio, "analog", "Set an analog output", "zyl dio analog 0 4779 --mode 2");
  analog
      ->add_option("channel", args->channel,
                   "Analog output, 0-8 (the command carries channel + 1 as one digit)")
      ->required()
      ->check(within(surface::kAnalogOutput));
  analog->add_option("value", args->value, "Output value, 0-65535")
      ->required()
      ->check(within(surface::kAnalogValue));
  analog->add_option("--mode", args->mode, "Output mode (0-15)")
      ->check(within(surface::kAnalogMode));
  analog->callback([&run, args] {
    run = withInstrument([args](Session& session, ZylInterface& z) -> int {
      const unsigned int status =
          z.SetAnalogOutput(args->channel, static_cast<unsigned short>(args->value), args->mode);
      if (status != ZYL_SUCCESS) return session.result(status, "analog output");
      session.print(
          {{"analog_output", args->channel}, {"value", args->value}, {"mode", args->mode}});
      return kOk;
    });
  });

  CLI::App* i2c =
      addCommand(dio, "i2c", "Send three bytes to the I2C setter", "zyl dio i2c 1 2 255");
  i2c->add_option("bytes", args->bytes, "Three byte values, 0-255 each")
      ->required()
      ->check(within(surface::kI2cByte));
  i2c->callback([&run, args] {
    if (args->bytes.size() != 3)
      throw CLI::ValidationError(
          "bytes", "I2C takes exactly three bytes, not " + std::to_string(args->bytes.size()));
    run = withInstrument([args](Session& session, ZylInterface& z) -> int {
      const auto& b = args->bytes;
      const unsigned int status =
          z.SetI2C(static_cast<unsigned char>(b[0]), static_cast<unsigned char>(b[1]),
                   static_cast<unsigned char>(b[2]));
      if (status != ZYL_SUCCESS) return session.result(status, "I2C");
      session.print({{"i2c", b}});
      return kOk;
    });
  });
}

}  // namespace

void addIoCommand(CLI::App& app, Action& run) {
  CLI::App* dio = addCommand(app, "dio", "Digital and analog I/O (no subcommand: show all)",
                             "zyl --sim dio set 5 on; zyl --sim dio adc 3");
  auto args = std::make_shared<IoArgs>();
  dio->callback([&run, dio] {
    if (dio->get_subcommands().empty()) run = reading(allChannels);
  });
  addOutputCommands(*dio, run, args);
  addInputCommands(*dio, run, args);
  addAnalogCommands(*dio, run, args);
}

}  // namespace zyl::tool
