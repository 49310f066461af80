// zyl serial CH send TEXT, zyl modbus CH read|write ...: raw traffic behind the controller board.
#include <cctype>
#include <cstring>

#include "tools/zyl/commands.h"

namespace zyl::tool {
namespace {

// One serial write command carries at most 251 bytes: its text must fit 512 characters and its
// length field has two hex digits.
constexpr size_t kMaxSerialBytes = 251;
constexpr const char* kChannelHelp = "Serial channel, 0-15 (1 gauge, 2 pump, 6 Modbus)";

// The text as it goes out: "\r" written on the command line is a carriage return (pump texts end
// in one). Throws a validation error (exit 1) for what cannot be sent.
std::string serialText(std::string text, bool hex) {
  for (size_t at; (at = text.find("\\r")) != std::string::npos;) text.replace(at, 2, "\r");
  if (hex) {
    for (unsigned char c : text)
      if (!std::isxdigit(c))
        throw CLI::ValidationError(
            "text", "--hex text holds \"" + std::string(1, c) + "\", which is not a hex digit");
    if (text.size() % 2)
      throw CLI::ValidationError("text", "--hex text has an odd number of hex digits (" +
                                             std::to_string(text.size()) + "); bytes are pairs");
    if (text.size() > 2 * kMaxSerialBytes)
      throw CLI::ValidationError("text", "--hex text is " + std::to_string(text.size() / 2) +
                                             " bytes; one command carries at most 251 (502 hex "
                                             "digits)");
  } else if (text.size() > kMaxSerialBytes) {
    throw CLI::ValidationError("text", "text is " + std::to_string(text.size()) +
                                           " characters; one command carries at most 251");
  }
  return text;
}

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

void addSendCommand(CLI::App& app, Action& run, std::shared_ptr<Args> args) {
  CLI::App* serial = addCommand(app, "serial", "Exchange text with a serial port's device",
                                "zyl --sim serial 1 send '@254PR1?;FF'");
  serial->add_option("channel", args->channel, kChannelHelp)
      ->required()
      ->check(within(surface::kSerialChannel));
  CLI::App* send = addCommand(*serial, "send", "Send TEXT and print what comes back",
                              "zyl serial 2 send '!C852 1\\r'   or   zyl serial 6 send --hex 0103");
  send->add_option("text", args->text, "At most 251 characters (--hex: 502 hex digits)")
      ->required();
  send->add_flag("--hex", args->hex, "TEXT is hex digit pairs, and so is the answer");
  send->callback([&run, args] {
    const std::string text = serialText(args->text, args->hex);
    run = withInstrument([args, text](Session& session, ZylInterface& z) -> int {
      char reply[1024] = "";
      long length = sizeof reply - 1;
      const unsigned int status =
          args->hex ? z.SerialCommandHex(args->channel, text.c_str(), reply, length)
                    : z.SerialCommandASCII(args->channel, text.c_str(), reply, length);
      if (status != ZYL_SUCCESS) return session.result(status, "serial exchange");
      session.print({{"channel", args->channel},
                     {"reply", std::string(reply, static_cast<size_t>(std::max(0L, length)))}});
      return kOk;
    });
  });
  serial->require_subcommand(1);
}

// One register read, RTU or ASCII; the value is 32 bits (RTU) or 16 (ASCII).
unsigned int readRegister(const Args& args, ZylInterface& z, int function, unsigned int& value) {
  const auto address = static_cast<unsigned char>(args.address);
  const auto reg = static_cast<unsigned short>(args.reg);
  return args.ascii ? z.ModbusReadASCII(args.channel, address, static_cast<unsigned char>(function),
                                        reg, &value)
                    : z.ModbusReadRTU(args.channel, address, reg, &value);
}

void addDeviceAndRegister(CLI::App* cmd, Args& args) {
  cmd->add_option("address", args.address, "Device address, 1-247")
      ->required()
      ->check(within(surface::kModbusAddress));
  cmd->add_option("register", args.reg, "0-65535")
      ->required()
      ->check(within(surface::kModbusRegister));
}

void addReadCommand(CLI::App& modbus, Action& run, std::shared_ptr<Args> args) {
  CLI::App* read = addCommand(modbus, "read", "Read a register (RTU: two registers, 32 bits)",
                              "zyl modbus 6 read 1 402");
  addDeviceAndRegister(read, *args);
  read->add_option("--function", args->function, "ASCII function code, 0-255 (default 3)")
      ->check(CLI::Range(0, 255));
  read->callback([&run, args] {
    run = withInstrument([args](Session& session, ZylInterface& z) -> int {
      unsigned int value = 0;
      const unsigned int status = readRegister(*args, z, args->function, value);
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
    });
  });
}

void addWriteCommand(CLI::App& modbus, Action& run, std::shared_ptr<Args> args) {
  CLI::App* write = addCommand(
      modbus, "write",
      "Write a register, then read it back: a value that does not read back fails (exit 3)",
      "zyl modbus 6 write 1 2160 1101004800     (20.0 as IEEE float bits, RTU low word first)");
  addDeviceAndRegister(write, *args);
  write->add_option("value", args->value, "RTU: 0-4294967295 (two registers); ASCII: 0-65535")
      ->required();
  write->add_option("--function", args->function, "ASCII function code, 0-255 (default 6)")
      ->check(CLI::Range(0, 255));
  write->callback([&run, args, write] {
    if (args->ascii && args->value > 0xFFFF)
      throw CLI::ValidationError(
          "value", "a Modbus ASCII register holds 0-65535, not " + std::to_string(args->value));
    run = withInstrument([args, write](Session& session, ZylInterface& z) -> int {
      const auto address = static_cast<unsigned char>(args->address);
      const auto reg = static_cast<unsigned short>(args->reg);
      const int function = write->count("--function") ? args->function : 6;
      const unsigned int status =
          args->ascii
              ? z.ModbusWriteASCII(args->channel, address, static_cast<unsigned char>(function),
                                   reg, static_cast<unsigned short>(args->value))
              : z.ModbusWriteRTU(args->channel, address, reg, args->value);
      if (status != ZYL_SUCCESS) return session.result(status, "Modbus write");
      // The write reports success whatever the device answered: the read-back tells.
      unsigned int back = 0;
      const unsigned int read = readRegister(*args, z, 3, back);
      session.print({{"address", args->address},
                     {"register", args->reg},
                     {"written", args->value},
                     {"read_back", read == ZYL_SUCCESS ? nlohmann::json(back) : nullptr}});
      if (read != ZYL_SUCCESS) return session.result(read, "Modbus read-back");
      if (back != args->value)
        return session.fail(kRefused, "register " + std::to_string(args->reg) + " of device " +
                                          std::to_string(args->address) + " reads back " +
                                          std::to_string(back) + " after writing " +
                                          std::to_string(args->value));
      return kOk;
    });
  });
}

}  // namespace

void addSerialCommands(CLI::App& app, Action& run) {
  auto args = std::make_shared<Args>();
  addSendCommand(app, run, args);
  CLI::App* modbus =
      addCommand(app, "modbus", "Read or write a Modbus register", "zyl --sim modbus 6 read 1 402");
  modbus->add_option("channel", args->channel, "Serial channel of the Modbus line, 0-15 (6)")
      ->required()
      ->check(within(surface::kSerialChannel));
  modbus->add_flag("--ascii", args->ascii, "Modbus ASCII instead of RTU");
  addReadCommand(*modbus, run, args);
  addWriteCommand(*modbus, run, args);
  modbus->require_subcommand(1);
}

}  // namespace zyl::tool
