// zyl config show|set|save|xml: the instrument's configuration and identity as its flash keeps
// them. `set` saves in the same invocation, since every invocation is a new instrument object.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "surface/checks.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/progress.h"

namespace zyl::tool {
namespace {

std::string utf8(std::wstring_view text) {
  std::string out;
  for (wchar_t w : text) {
    const auto c = static_cast<char32_t>(w);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UTF-8 from the command line as wide text; a byte that starts no sequence stands for itself.
std::wstring wide(std::string_view text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    size_t k = 1;
    for (; k <= static_cast<size_t>(extra) && i + k < text.size(); ++k)
      c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out += static_cast<wchar_t>(c);
    i += k;
  }
  return out;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// An item of one of the identity types: its value is chosen by display name or number.
struct IdentityItem {
  const char* key;
  std::function<int(ZylInterface&)> get;
  std::function<unsigned int(ZylInterface&, int)> set;
  std::function<const wchar_t*(ZylInterface&, int)> name;
};

template <class T>
IdentityItem item(const char* key, T (ZylInterface::*get)(), unsigned int (ZylInterface::*set)(T),
                  const wchar_t* (ZylInterface::*name)(T)) {
  return {key, [get](ZylInterface& z) { return static_cast<int>((z.*get)()); },
          [set](ZylInterface& z, int v) { return (z.*set)(static_cast<T>(v)); },
          [name](ZylInterface& z, int v) { return (z.*name)(static_cast<T>(v)); }};
}

const std::vector<IdentityItem>& identityItems() {
  static const std::vector<IdentityItem> items = {
      item("source-psu", &ZylInterface::GetSourcePSU, &ZylInterface::SetSourcePSU,
           &ZylInterface::GetPowerSupplyName),
      item("lens-psu", &ZylInterface::GetLensPSU, &ZylInterface::SetLensPSU,
           &ZylInterface::GetPowerSupplyName),
      item("dynode-psu", &ZylInterface::GetDynodePSU, &ZylInterface::SetDynodePSU,
           &ZylInterface::GetPowerSupplyName),
      item("capillary-heater", &ZylInterface::GetCapillaryHC, &ZylInterface::SetCapillaryHC,
           &ZylInterface::GetHeaterControllerName),
      item("desolvation-heater", &ZylInterface::GetDesolvationGasHC,
           &ZylInterface::SetDesolvationGasHC, &ZylInterface::GetHeaterControllerName),
      item("apci-heater", &ZylInterface::GetAPCIGasHC, &ZylInterface::SetAPCIGasHC,
           &ZylInterface::GetHeaterControllerName),
      item("pirani", &ZylInterface::GetPiraniType, &ZylInterface::SetPiraniType,
           &ZylInterface::GetPiraniTypeName),
      item("housing", &ZylInterface::GetHousingType, &ZylInterface::SetHousingType,
           &ZylInterface::GetHousingTypeName),
      item("head-amp", &ZylInterface::GetHeadAmpType, &ZylInterface::SetHeadAmpType,
           &ZylInterface::GetHeadAmpTypeName),
      item("rf-box", &ZylInterface::GetRfBoxType, &ZylInterface::SetRfBoxType,
           &ZylInterface::GetRfBoxTypeName),
  };
  return items;
}

// The names of an identity item's values, in value order (the library names no value past
// the last).
std::vector<std::string> choices(ZylInterface& z, const IdentityItem& item) {
  std::vector<std::string> names;
  for (int v = 0;; ++v) {
    const wchar_t* name = item.name(z, v);
    if (!name || !*name) return names;
    names.push_back(utf8(name));
  }
}

std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

nlohmann::ordered_json configuration(ZylInterface& z) {
  nlohmann::ordered_json out;
  out["model"] = z.GetHardwareTypeName(z.GetHardwareType());
  out["serial-number"] = utf8(z.GetSerialNumber());
  for (const IdentityItem& item : identityItems()) out[item.key] = utf8(item.name(z, item.get(z)));
  out["frequency"] = hex(z.GetFreqFact(), 8);
  out["mass-pot"] = hex(z.GetMassPot(), 2);
  out["last-pump-down"] = z.GetLastPumpDownTime();
  out["qc-data"] = z.GetQCData();
  return out;
}

// Parses the whole of `text` as an unsigned number in `base`; false when it is not one.
bool number(const std::string& text, int base, unsigned long long& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, base);
  return *end == '\0';
}

// An identity item by display name or number.
int setIdentity(Session& session, ZylInterface& z, const IdentityItem& item,
                const std::string& value) {
  const std::vector<std::string> names = choices(z, item);
  unsigned long long index = names.size();
  for (size_t i = 0; i < names.size(); ++i)
    if (sameIgnoringCase(names[i], value)) index = i;
  if (index == names.size() && !(number(value, 10, index) && index < names.size())) {
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "\"" : ", \"") + n + "\"";
    return session.fail(kUsage,
                        std::string(item.key) + " is one of " + list + " (or its number from 0)");
  }
  return session.result(item.set(z, static_cast<int>(index)),
                        std::string("config set ") + item.key);
}

// The QC data are kept as markup: only element content may go in, or plain text escaped.
int setQcData(Session& session, ZylInterface& z, const std::string& value, bool plainText) {
  const std::string content = plainText ? surface::escapeText(value) : value;
  if (std::string why = surface::checkQcData(content); !why.empty())
    return session.fail(kUsage, why);
  if (std::string why = surface::checkDocumentFits(content.size()); !why.empty())
    return session.fail(kUsage, why);
  return session.result(z.SetQCData(content.c_str()), "qc-data");
}

// Sets one item in the records; the result tells which document has to be saved.
enum class Document { Configuration, Volatile };
int setItem(Session& session, const std::string& key, const std::string& value, bool plainText,
            Document& saved) {
  ZylInterface& z = session.instrument();
  saved = Document::Configuration;
  for (const IdentityItem& item : identityItems())
    if (key == item.key) return setIdentity(session, z, item, value);
  unsigned long long n = 0;
  if (key == "serial-number") return session.result(z.SetSerialNumber(wide(value).c_str()), key);
  if (key == "qc-data") return setQcData(session, z, value, plainText);
  if (key == "mass-pot") {
    if (!number(value, 16, n) || n > 0xFF) return session.fail(kUsage, "mass-pot is 00 to FF");
    return session.result(z.SetMassPot(static_cast<uint8_t>(n)), key);
  }
  if (key == "frequency") {
    if (!number(value, 16, n) || n > 0xFFFFFFFF)
      return session.fail(kUsage, "frequency is a hexadecimal factor of up to 8 digits");
    uint16_t readback = 0;
    return session.result(z.SetFreqFact(static_cast<uint32_t>(n), &readback), "frequency");
  }
  if (key == "last-pump-down") {
    if (std::string why = surface::checkText(surface::kLastPumpDown, value); !why.empty())
      return session.fail(kUsage, why);
    saved = Document::Volatile;
    return session.result(z.SetLastPumpDownTime(std::stoll(value)), key);
  }
  return session.fail(kUsage, "unknown key " + key + " (see zyl config set --help)");
}

std::string keyList() {
  std::string keys = "serial-number, qc-data, frequency, mass-pot, last-pump-down";
  for (const IdentityItem& item : identityItems()) keys += std::string(", ") + item.key;
  return keys;
}

// Saves a document; the library refuses (1) a document that does not fit its region or does
// not parse back, before anything is written.
int save(Session& session, ZylInterface& z, Document document) {
  const bool toVolatile = document == Document::Volatile;
  const unsigned int status = runWithSpinner(toVolatile ? "flash write 1" : "flash write 0", [&] {
    return toVolatile ? z.SaveToVolatileFlash() : z.SaveToConfigFlash();
  });
  if (status == ZYL_CONFIG_REFUSED)
    return session.fail(kUsage,
                        "the configuration document does not fit its flash region (65,536 bytes) "
                        "or does not read back; nothing was written");
  return session.result(status, "config save");
}

int showXml(Session& session, ZylInterface& z, bool volatileDocument) {
  std::string text;
  const bool ok = volatileDocument ? z.GetVolatileFlashXML(&text) : z.GetConfigFlashXML(&text);
  if (!ok) return session.fail(kRefused, "the document could not be read from flash");
  text.resize(std::strlen(text.c_str()));  // the volatile slot's zero bytes are not text
  if (session.options().json)
    session.print({{"xml", text}});
  else
    std::printf("%s\n", text.c_str());
  return kOk;
}

struct SetArgs {
  std::string key, value;
  bool text = false;
};

void addSetCommand(CLI::App& config, Action& run) {
  CLI::App* set = addCommand(config, "set", "Set one item and save it to the instrument",
                             "zyl --sim config set serial-number SN1234; zyl --sim config set "
                             "--text qc-data \"R&D ok\"");
  auto a = std::make_shared<SetArgs>();
  set->add_option("KEY", a->key, "One of: " + keyList())->required();
  set->add_option("VALUE", a->value,
                  "A display name (or its number; zyl config values lists them), text, a "
                  "hexadecimal number (frequency, "
                  "mass-pot), seconds 0-2147483647 (last-pump-down); qc-data is XML element "
                  "content (& as &amp;, < as &lt;)")
      ->required();
  set->add_flag("--text", a->text, "qc-data: VALUE is plain text, stored with & < > escaped");
  set->callback([&run, a] {
    if (a->text && a->key != "qc-data")
      throw CLI::ValidationError("--text", "goes with qc-data only");
    run = withInstrument([a](Session& session, ZylInterface& z) -> int {
      Document document = Document::Configuration;
      if (const int code = setItem(session, a->key, a->value, a->text, document); code != kOk)
        return code;
      if (const int code = save(session, z, document); code != kOk) return code;
      session.print(configuration(z));
      return kOk;
    });
  });
}

}  // namespace

void addConfigCommand(CLI::App& app, Action& run) {
  CLI::App* config =
      addCommand(app, "config", "Show or change the configuration kept in the instrument",
                 "zyl --sim config show");
  config->require_subcommand(1);

  addCommand(*config, "show", "Show every configured item with its display name",
             "zyl --sim --json config show")
      ->callback([&run] {
        run = withInstrument([](Session& session, ZylInterface& z) {
          session.print(configuration(z));
          return static_cast<int>(kOk);
        });
      });
  addSetCommand(*config, run);
  addCommand(*config, "values", "List the names each item of a fixed set accepts (config set)",
             "zyl --sim config values")
      ->callback([&run] {
        run = withInstrument([](Session& session, ZylInterface& z) {
          nlohmann::ordered_json out;
          for (const IdentityItem& item : identityItems()) out[item.key] = choices(z, item);
          session.print(out);
          return static_cast<int>(kOk);
        });
      });
  addCommand(*config, "save", "Write both documents back complete (missing items filled in)",
             "zyl --sim config save")
      ->callback([&run] {
        run = withInstrument([](Session& session, ZylInterface& z) -> int {
          if (const int code = save(session, z, Document::Configuration); code != kOk) return code;
          if (const int code = save(session, z, Document::Volatile); code != kOk) return code;
          session.print({{"saved", true}});
          return kOk;
        });
      });

  CLI::App* xml = addCommand(*config, "xml", "Print the stored configuration document",
                             "zyl --sim config xml --volatile");
  auto volatileDocument = std::make_shared<bool>(false);
  xml->add_flag("--volatile", *volatileDocument, "The volatile document instead (region 1)");
  xml->callback([&run, volatileDocument] {
    run = withInstrument([volatileDocument](Session& session, ZylInterface& z) {
      return showXml(session, z, *volatileDocument);
    });
  });
}

}  // namespace zyl::tool
