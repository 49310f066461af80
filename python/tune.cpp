// The default tune and ion-source slots.
#include <cstdlib>
#include <cstring>

#include "python/instrument.h"

namespace zyl::python {
namespace {

// The largest text a tune or ion-source slot hands out, with its zero.
constexpr size_t kSlotTextBytes = 10240;

// A slot's text, or None when the slot holds no document.
template <class Get>
py::object slotText(Instrument& i, Get get, bool groupA, bool alternate) {
  std::string out(kSlotTextBytes, '\0');
  const bool found =
      i.ask([&](ZylInterface& z) { return (z.*get)(out.data(), groupA, alternate); });
  if (!found) return py::none();
  out.resize(std::strlen(out.c_str()));
  return py::str(out);
}

// FormatTuneXML and FormatIonXML hand out memory released with free().
py::str formatted(Instrument& i, char* (ZylInterface::*format)(const char*), const std::string& xml,
                  const char* what) {
  char* text = i.ask([&](ZylInterface& z) { return (z.*format)(xml.c_str()); });
  if (!text) raiseStatus(ZYL_INVALID_ARGUMENT, std::string(what) + " (the text does not parse)");
  py::str result(text);
  std::free(text);
  return result;
}

}  // namespace

void bindTune(py::class_<Instrument>& c) {
  c.def(
       "set_default_tune_parameters",
       [](Instrument& i, std::string xml, bool groupA, bool alternate) {
         i.act("default tune parameters", [&](ZylInterface& z) {
           return z.SetDefaultTuneParameters(xml.data(), groupA, alternate);
         });
       },
       py::arg("xml"), py::arg("group_a"), py::arg("alternate"),
       "Stores a tune-parameter document in its slot (in memory; save_default_tune_ion_settings "
       "writes flash).")
      .def(
          "default_tune_parameters",
          [](Instrument& i, bool groupA, bool alternate) {
            return slotText(i, &ZylInterface::GetDefaultTuneParameters, groupA, alternate);
          },
          py::arg("group_a"), py::arg("alternate"),
          "The tune-parameter document of a slot, or None when the slot holds none.")
      .def(
          "set_default_ion_source_optimization",
          [](Instrument& i, std::string xml, bool groupA, bool alternate) {
            i.act("default ion-source settings", [&](ZylInterface& z) {
              return z.SetDefaultIonSourceOptimization(xml.data(), groupA, alternate);
            });
          },
          py::arg("xml"), py::arg("group_a"), py::arg("alternate"),
          "Stores an ion-source document in its slot (in memory).")
      .def(
          "default_ion_source_optimization",
          [](Instrument& i, bool groupA, bool alternate) {
            return slotText(i, &ZylInterface::GetDefaultIonSourceOptimization, groupA, alternate);
          },
          py::arg("group_a"), py::arg("alternate"),
          "The ion-source document of a slot, or None when the slot holds none.")
      .def(
          "format_tune_xml",
          [](Instrument& i, const std::string& xml) {
            return formatted(i, &ZylInterface::FormatTuneXML, xml, "tune formatting");
          },
          py::arg("xml"), "A tune-parameter document in the form a slot hands out.")
      .def(
          "format_ion_xml",
          [](Instrument& i, const std::string& xml) {
            return formatted(i, &ZylInterface::FormatIonXML, xml, "ion-source formatting");
          },
          py::arg("xml"), "An ion-source document in the form a slot hands out.")
      .def("load_default_tune_ion_settings",
           action("tune load", [](ZylInterface& z) { return z.LoadDefaultTuneIonSettings(); }),
           "Reads the tune and ion-source slots from flash region 1.")
      .def("save_default_tune_ion_settings",
           action("tune save", [](ZylInterface& z) { return z.SaveDefaultTuneIonSettings(); }),
           "Writes the tune and ion-source slots to flash region 1.");
}

}  // namespace zyl::python
