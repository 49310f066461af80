// Configuration and identity, and whole flash regions.
#include <pybind11/stl.h>

#include "python/instrument.h"

namespace zyl::python {
namespace {

constexpr size_t kFlashRegionBytes = ZYL_FLASH_REGION_BYTES;

std::wstring wide(const wchar_t* text) {
  return text ? std::wstring(text) : std::wstring();
}

// An identity field as a property: the getter reads the record, the setter raises on refusal.
template <class T, class Set>
void identity(py::class_<Instrument>& c, const char* name, T (ZylInterface::*get)(), Set set,
              const char* doc) {
  c.def_property(
      name, [get](Instrument& i) { return i.ask([&](ZylInterface& z) { return (z.*get)(); }); },
      [set, name](Instrument& i, T value) {
        i.act(name, [&](ZylInterface& z) { return (z.*set)(value); });
      },
      doc);
}

// A type's display text (GetPiraniTypeName and its kind), one overload of type_name per type.
template <class T>
void typeName(py::class_<Instrument>& c, const wchar_t* (ZylInterface::*name)(T)) {
  c.def(
      "type_name",
      [name](Instrument& i, T value) {
        return i.ask([&](ZylInterface& z) { return wide((z.*name)(value)); });
      },
      py::arg("value"), "The display text of an identity type's value.");
}

void setQcData(Instrument& i, const std::string& content) {
  refuseIf(surface::checkQcData(content));
  refuseIf(surface::checkDocumentFits(content.size()));
  i.act("QC data", [&](ZylInterface& z) { return z.SetQCData(content.c_str()); });
}

// Element content with the references of escapeText (and the other predefined ones) undone.
std::string plainText(const std::string& content) {
  static const std::pair<std::string_view, char> kReferences[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t at = 0; at < content.size();) {
    bool replaced = false;
    for (const auto& [reference, c] : kReferences)
      if (std::string_view(content).substr(at).starts_with(reference)) {
        out += c;
        at += reference.size();
        replaced = true;
        break;
      }
    if (!replaced) out += content[at++];
  }
  return out;
}

}  // namespace

void bindConfig(py::class_<Instrument>& c) {
  c.def(
       "read_flash",
       [](Instrument& i, int region) {
         std::string image(kFlashRegionBytes, '\0');
         i.act("flash read", [&](ZylInterface& z) {
           return z.ReadFlash(reinterpret_cast<unsigned char*>(image.data()), region);
         });
         return py::bytes(image);
       },
       py::arg("region"), "Reads a whole flash region (65,536 bytes).")
      .def(
          "write_flash",
          [](Instrument& i, py::bytes image, int region) {
            std::string copy = image;
            if (copy.size() != kFlashRegionBytes)
              raiseStatus(ZYL_INVALID_ARGUMENT, "flash write of " + std::to_string(copy.size()) +
                                                    " bytes (a region is 65,536)");
            i.act("flash write", [&](ZylInterface& z) {
              return z.WriteFlash(reinterpret_cast<unsigned char*>(copy.data()), region);
            });
          },
          py::arg("image"), py::arg("region"), "Writes a whole flash region (65,536 bytes).")
      .def("load_config",
           action("configuration load", [](ZylInterface& z) { return z.LoadFromConfigFlash(); }),
           "Reads the configuration record from flash region 0.")
      .def("save_config",
           action("configuration save", [](ZylInterface& z) { return z.SaveToConfigFlash(); }),
           "Writes the configuration record to flash region 0.")
      .def("load_volatile",
           action("volatile load", [](ZylInterface& z) { return z.LoadFromVolatileFlash(); }),
           "Reads the volatile record from flash region 1.")
      .def("save_volatile",
           action("volatile save", [](ZylInterface& z) { return z.SaveToVolatileFlash(); }),
           "Writes the volatile record to flash region 1.")
      .def(
          "config_xml",
          [](Instrument& i) {
            std::string xml;
            i.ask([&](ZylInterface& z) { return z.GetConfigFlashXML(&xml); });
            return xml;
          },
          "The configuration record as XML text.")
      .def(
          "volatile_xml",
          [](Instrument& i) {
            std::string xml;
            i.ask([&](ZylInterface& z) { return z.GetVolatileFlashXML(&xml); });
            return xml;
          },
          "The volatile record as XML text.");

  identity(c, "pirani_type", &ZylInterface::GetPiraniType, &ZylInterface::SetPiraniType,
           "The Pirani gauge (PiraniType).");
  identity(c, "rf_box_type", &ZylInterface::GetRfBoxType, &ZylInterface::SetRfBoxType,
           "The RF box (RfBoxType).");
  identity(c, "housing_type", &ZylInterface::GetHousingType, &ZylInterface::SetHousingType,
           "The source housing (SourceHousingType).");
  identity(c, "capillary_hc", &ZylInterface::GetCapillaryHC, &ZylInterface::SetCapillaryHC,
           "The capillary heater's controller (HeaterControllerType).");
  identity(c, "desolvation_gas_hc", &ZylInterface::GetDesolvationGasHC,
           &ZylInterface::SetDesolvationGasHC,
           "The desolvation gas heater's controller (HeaterControllerType).");
  identity(c, "apci_gas_hc", &ZylInterface::GetAPCIGasHC, &ZylInterface::SetAPCIGasHC,
           "The APCI gas heater's controller (HeaterControllerType).");
  identity(c, "source_psu", &ZylInterface::GetSourcePSU, &ZylInterface::SetSourcePSU,
           "The source power supply (PowerSupplyType).");
  identity(c, "lens_psu", &ZylInterface::GetLensPSU, &ZylInterface::SetLensPSU,
           "The lens power supply (PowerSupplyType).");
  identity(c, "dynode_psu", &ZylInterface::GetDynodePSU, &ZylInterface::SetDynodePSU,
           "The dynode power supply (PowerSupplyType).");
  identity(c, "head_amp_type", &ZylInterface::GetHeadAmpType, &ZylInterface::SetHeadAmpType,
           "The head amplifier (HeadAmpType).");
  c.def_property(
      "last_pump_down_time",
      [](Instrument& i) { return i.ask([](ZylInterface& z) { return z.GetLastPumpDownTime(); }); },
      [](Instrument& i, double seconds) {
        const auto t = within<long long>(surface::kLastPumpDown, seconds);
        i.act("last pump-down time", [&](ZylInterface& z) { return z.SetLastPumpDownTime(t); });
      },
      "The last pump-down time as the host stored it, 0 to 2147483647 seconds.");
  identity(c, "mass_pot", &ZylInterface::GetMassPot, &ZylInterface::SetMassPot,
           "The mass potentiometer value (stored only).");
  c.def_property(
       "serial_number",
       [](Instrument& i) {
         return i.ask([](ZylInterface& z) { return wide(z.GetSerialNumber()); });
       },
       [](Instrument& i, const std::wstring& text) {
         i.act("serial number", [&](ZylInterface& z) { return z.SetSerialNumber(text.c_str()); });
       },
       "The instrument's serial number.")
      .def_property(
          "qc_data",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) {
              const char* text = z.GetQCData();
              return std::string(text ? text : "");
            });
          },
          [](Instrument& i, const std::string& text) { setQcData(i, text); },
          "The QC data: XML element content, kept exactly as given (& as &amp;, < as &lt;; "
          "InvalidArgumentError for anything else).")
      .def_property(
          "qc_text",
          [](Instrument& i) {
            return plainText(i.ask([](ZylInterface& z) {
              const char* text = z.GetQCData();
              return std::string(text ? text : "");
            }));
          },
          [](Instrument& i, const std::string& text) { setQcData(i, surface::escapeText(text)); },
          "The QC data as plain text: & < > are escaped when set and unescaped when read.")
      .def_property_readonly(
          "freq_fact",
          [](Instrument& i) { return i.ask([](ZylInterface& z) { return z.GetFreqFact(); }); },
          "The frequency factor of the configuration.")
      .def(
          "set_freq_fact",
          [](Instrument& i, long long factor) {
            const auto f = narrow<uint32_t>(factor, "frequency factor");
            uint16_t readback = 0;
            i.act("frequency factor", [&](ZylInterface& z) { return z.SetFreqFact(f, &readback); });
            return readback;
          },
          py::arg("factor"),
          "Sends the frequency factor to the instrument; returns the frequency it reports.");
  typeName(c, &ZylInterface::GetPiraniTypeName);
  typeName(c, &ZylInterface::GetRfBoxTypeName);
  typeName(c, &ZylInterface::GetHousingTypeName);
  typeName(c, &ZylInterface::GetHeaterControllerName);
  typeName(c, &ZylInterface::GetPowerSupplyName);
  typeName(c, &ZylInterface::GetHeadAmpTypeName);
}

}  // namespace zyl::python
