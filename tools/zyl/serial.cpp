// zyl serial CH send TEXT, zyl modbus CH read|write ...: raw traffic behind the controller board.
#include <algorithm>
#include <bit>
#include <cctype>
#include <variant>

#include "tools/zyl/commands.h"
#include "tools/zyl/modbus_frames.h"

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

// One Modbus request and the device's answer to it. Exit 3 with the device's own words when it
// refuses (an exception reply) and when nothing readable comes back.
struct Exchange {
  const Args& args;
  ZylInterface& z;
  Session& session;

  modbus::Framing framing() const {
    return args.ascii ? modbus::Framing::Ascii : modbus::Framing::Rtu;
  }

  std::variant<std::vector<uint8_t>, int> run(std::vector<uint8_t> pdu, size_t dataBytes,
                                              std::string_view what) {
    const auto address = static_cast<uint8_t>(args.address);
    const std::string request = modbus::frame(framing(), address, pdu);
    char reply[1025] = "";
    long length = sizeof reply - 1;
    const unsigned int status =
        args.ascii ? z.SerialCommandASCII(args.channel, request.c_str(), reply, length)
                   : z.SerialCommandHex(args.channel, request.c_str(), reply, length);
    if (status != ZYL_SUCCESS) return session.result(status, std::string(what));
    std::string_view text(reply, static_cast<size_t>(std::clamp(length, 0L, 1024L)));
    // A two-wire line repeats the request: only what follows it is the device's.
    if (text.starts_with(request)) text.remove_prefix(request.size());
    const modbus::Answer answer = modbus::findAnswer(framing(), text, address, pdu[0], dataBytes);
    const std::string device =
        "device " + std::to_string(args.address) + " on channel " + std::to_string(args.channel);
    switch (answer.kind) {
      case modbus::Answer::Kind::Data:
        return answer.data;
      case modbus::Answer::Kind::Exception:
        return session.fail(kRefused,
                            device + " refused the " + std::string(what) + " of register " +
                                std::to_string(args.reg) + ": exception " +
                                std::to_string(answer.exceptionCode) + " (" +
                                std::string(modbus::exceptionMeaning(answer.exceptionCode)) + ")");
      case modbus::Answer::Kind::Nothing:
        return session.fail(kRefused, device + " did not answer the " + std::string(what));
      case modbus::Answer::Kind::Unreadable:
        break;
    }
    return session.fail(kRefused, device + " answered the " + std::string(what) +
                                      " with nothing readable: \"" + std::string(text) + "\"");
  }

  // RTU reads two registers (32 bits, low word first), ASCII one.
  std::variant<unsigned int, int> read(uint8_t function) {
    const auto reg = static_cast<uint16_t>(args.reg);
    const uint8_t count = args.ascii ? 1 : 2;
    auto answer = run(
        {function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), 0, count}, 0, "read");
    if (auto* exit = std::get_if<int>(&answer)) return *exit;
    const auto& data = std::get<std::vector<uint8_t>>(answer);
    if (data.size() != 1u + 2 * count)
      return session.fail(kRefused, "device " + std::to_string(args.address) + " answered with " +
                                        std::to_string(data.size() - 1) + " bytes, not " +
                                        std::to_string(2 * count));
    const unsigned int first = data[1] << 8 | data[2];
    return count == 1 ? first : (static_cast<unsigned int>(data[3] << 8 | data[4]) << 16) | first;
  }

  std::optional<int> write(uint8_t function) {
    const auto reg = static_cast<uint16_t>(args.reg);
    std::vector<uint8_t> pdu{function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)};
    const auto word = [&pdu](unsigned int w) {
      pdu.push_back(static_cast<uint8_t>(w >> 8 & 0xFF));
      pdu.push_back(static_cast<uint8_t>(w & 0xFF));
    };
    if (!args.ascii) {  // two registers, 4 bytes, low word first
      word(2);
      pdu.push_back(4);
      word(args.value & 0xFFFF);
    }
    word(args.ascii ? args.value : args.value >> 16);
    auto answer = run(std::move(pdu), 4, "write");
    if (auto* exit = std::get_if<int>(&answer)) return *exit;
    return std::nullopt;
  }
};

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
      Exchange exchange{*args, z, session};
      const auto read = exchange.read(static_cast<uint8_t>(args->ascii ? args->function : 3));
      if (const int* exit = std::get_if<int>(&read)) return *exit;
      const unsigned int value = std::get<unsigned int>(read);
      // Heater controllers keep temperatures as IEEE floats: show that reading beside the word.
      session.print({{"address", args->address},
                     {"register", args->reg},
                     {"value", value},
                     {"as_float", std::bit_cast<float>(value)}});
      return kOk;
    });
  });
}

void addWriteCommand(CLI::App& modbus, Action& run, std::shared_ptr<Args> args) {
  CLI::App* write = addCommand(
      modbus, "write",
      "Write a register, then read it back: a refusal by the device (its exception code and "
      "meaning) or a value that does not read back fails (exit 3)",
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
      Exchange exchange{*args, z, session};
      const int function = !args->ascii ? 0x10 : write->count("--function") ? args->function : 6;
      if (auto exit = exchange.write(static_cast<uint8_t>(function))) return *exit;
      // A device may acknowledge a value it then clamps or ignores: the read-back tells.
      const auto back = exchange.read(3);
      session.print({{"address", args->address},
                     {"register", args->reg},
                     {"written", args->value},
                     {"read_back", std::holds_alternative<unsigned int>(back)
                                       ? nlohmann::json(std::get<unsigned int>(back))
                                       : nullptr}});
      if (const int* exit = std::get_if<int>(&back)) return *exit;
      if (std::get<unsigned int>(back) != args->value)
        return session.fail(kRefused, "register " + std::to_string(args->reg) + " of device " +
                                          std::to_string(args->address) + " reads back " +
                                          std::to_string(std::get<unsigned int>(back)) +
                                          " after writing " + std::to_string(args->value));
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
