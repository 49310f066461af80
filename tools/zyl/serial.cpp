// zyl serial CH send TEXT, zyl modbus CH read|write ...: raw traffic behind the controller board.
#include <cstring>

#include "tools/zyl/session.h"

namespace zyl::tool {

void addSerialCommands(CLI::App& app, Action& run) {
  struct Args {
    int channel = 0;
    std::string text;
    bool hex = false;
    int address = 1;
    int reg = 0;
    unsigned int value = 0;
    bool ascii = false;
    int function = 3;
  };
  auto args = std::make_shared<Args>();

  CLI::App* serial = app.add_subcommand("serial", "Exchange text with a serial port's device");
  serial->add_option("channel", args->channel, "Serial channel (1 gauge, 2 pump, 6 Modbus)")
      ->required()
      ->check(CLI::Range(0, 99));
  CLI::App* send = serial->add_subcommand("send", "Send TEXT and print what comes back");
  send->add_option("text", args->text)->required();
  send->add_flag("--hex", args->hex, "TEXT is hex digit pairs, and so is the answer");
  send->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      // Pump texts end in a carriage return; let the shell user write it as "\r".
      std::string text = args->text;
      for (size_t at; (at = text.find("\\r")) != std::string::npos;) text.replace(at, 2, "\r");
      char reply[1024] = "";
      long length = sizeof reply - 1;
      const unsigned int status =
          args->hex ? z.SerialCommandHex(args->channel, text.c_str(), reply, length)
                    : z.SerialCommandASCII(args->channel, text.c_str(), reply, length);
      if (status != ZYL_SUCCESS) return session.result(status, "serial exchange");
      session.print({{"channel", args->channel},
                     {"reply", std::string(reply, static_cast<size_t>(std::max(0L, length)))}});
      return kOk;
    };
  });
  serial->require_subcommand(1);

  CLI::App* modbus = app.add_subcommand("modbus", "Read or write a Modbus register");
  modbus->add_option("channel", args->channel, "Serial channel of the Modbus line (6)")
      ->required()
      ->check(CLI::Range(0, 99));
  modbus->add_flag("--ascii", args->ascii, "Modbus ASCII instead of RTU");
  CLI::App* read = modbus->add_subcommand("read", "Read a register");
  read->add_option("address", args->address, "Device address")
      ->required()
      ->check(CLI::Range(1, 247));
  read->add_option("register", args->reg)->required()->check(CLI::Range(0, 0xFFFF));
  read->add_option("--function", args->function, "ASCII function code (default 3)");
  read->callback([&run, args] {
    run = [args](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      unsigned int value = 0;
      const auto address = static_cast<unsigned char>(args->address);
      const auto reg = static_cast<unsigned short>(args->reg);
      const unsigned int status =
          args->ascii ? z.ModbusReadASCII(args->channel, address,
                                          static_cast<unsigned char>(args->function), reg, &value)
                      : z.ModbusReadRTU(args->channel, address, reg, &value);
      if (status != ZYL_SUCCESS) return session.result(status, "Modbus read");
      // Heater controllers keep temperatures as IEEE floats: show that reading beside the word.
      float asFloat = 0;
      static_assert(sizeof asFloat == sizeof value);
      std::memcpy(&asFloat, &value, sizeof asFloat);
      session.print({{"address", args->address},
                     {"register", args->reg},
                     {"value", value},
                     {"as_float", asFloat}});
      return kOk;
    };
  });
  CLI::App* write = modbus->add_subcommand("write", "Write a register");
  write->add_option("address", args->address)->required()->check(CLI::Range(1, 247));
  write->add_option("register", args->reg)->required()->check(CLI::Range(0, 0xFFFF));
  write->add_option("value", args->value)->required();
  write->add_option("--function", args->function, "ASCII function code (default 6)");
  write->callback([&run, args, write] {
    run = [args, write](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      const auto address = static_cast<unsigned char>(args->address);
      const auto reg = static_cast<unsigned short>(args->reg);
      const int function = write->count("--function") ? args->function : 6;
      const unsigned int status =
          args->ascii
              ? z.ModbusWriteASCII(args->channel, address, static_cast<unsigned char>(function),
                                   reg, static_cast<unsigned short>(args->value))
              : z.ModbusWriteRTU(args->channel, address, reg, args->value);
      return session.result(status, "Modbus write");
    };
  });
  modbus->require_subcommand(1);
}

}  // namespace zyl::tool
