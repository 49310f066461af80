// The Python module `zyl`: the instrument object with snake_case methods, scans as numpy arrays,
// status as a dict, the simulated instrument one argument away. The names follow ZylInterface;
// python/zyl.pyi carries the types.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "python/instrument.h"
#include "surface/heaters.h"
#include "zyl/version.h"

namespace py = pybind11;
using zyl::python::action;
using zyl::python::check;
using zyl::python::Instrument;
using zyl::python::narrow;
using zyl::python::within;
namespace surface = zyl::surface;

namespace {

void bindConnection(py::class_<Instrument>& c) {
  c.def_property_readonly(
       "communication_state",
       [](Instrument& i) {
         return i.ask([](ZylInterface& z) { return z.GetCommunicationState(); });
       },
       "The communication state; CONNECTED and INITIALIZED count as connected.")
      .def_property_readonly(
          "connected",
          [](Instrument& i) {
            const CommunicationState s =
                i.ask([](ZylInterface& z) { return z.GetCommunicationState(); });
            return s == CommConnected || s == CommInitialized;
          },
          "True when the instrument answered.")
      .def_property_readonly(
          "firmware_version",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) {
              char text[80] = {};
              long length = 0;
              z.GetFirmwareVersion(text, length);
              return std::string(text);
            });
          },
          "The firmware version text (read from the instrument if not yet known; empty when it "
          "cannot be asked).")
      .def_property_readonly(
          "model",
          [](Instrument& i) { return i.ask([](ZylInterface& z) { return z.GetHardwareType(); }); },
          "The instrument model (HardwareType), settled at connection.")
      .def_property_readonly(
          "v3", [](Instrument& i) { return i.ask([](ZylInterface& z) { return z.IsV3() != 0; }); },
          "True for V3 firmware (status stream and scan pipe).")
      .def(
          "test_connection",
          [](Instrument& i) { return i.ask([](ZylInterface& z) { return z.TestConnection(); }); },
          "Asks the instrument again; returns the new communication state.")
      .def(
          "initialize_settings",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) { return z.InitializeSettings(); });
          },
          "Reads flash and hardware settings after a late connection; returns the state.")
      .def("close", &Instrument::close,
           "Stops the status stream and closes the instrument; later calls raise "
           "NoInstrumentError.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Instrument& i, py::args) { i.close(); });
}

void bindStatus(py::class_<Instrument>& c) {
  c.def("status", &Instrument::status,
        "The status record as a dict: pressure_mbar, pump_speed, pump_running, the three heater "
        "temperatures, digital_inputs, adc (32 readings). Older firmware refreshes it from the "
        "instrument when older than 3 s; on V3 it is what the status stream last brought.")
      .def("watch_status", &Instrument::watchStatus, py::arg("callback"),
           "V3 firmware: starts the status stream and calls callback(status dict) after each "
           "frame, on the library's status thread (with the GIL). None stops the stream.")
      .def("pump_on", action("pump on", [](ZylInterface& z) { return z.PumpOn(); }),
           "Switches the turbo pump on.")
      .def("pump_standby", action("pump standby", [](ZylInterface& z) { return z.PumpStandby(); }),
           "Puts the turbo pump into standby.")
      .def("pump_off", action("pump off", [](ZylInterface& z) { return z.PumpOff(); }),
           "Switches the turbo pump off.")
      .def(
          "pump_speed",
          [](Instrument& i) {
            unsigned short speed = 0;
            i.act("pump speed", [&](ZylInterface& z) { return z.PumpSpeed(&speed); });
            return speed;
          },
          "The turbo pump's speed.")
      .def(
          "pump_running",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) { return z.IsPumpRunning() != 0; });
          },
          "True while the turbo pump runs.")
      .def(
          "pump_speed_ok",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) { return z.IsPumpSpeedOK() != 0; });
          },
          "True when the pump is at speed.")
      .def(
          "pressure_ok",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) { return z.IsPressureOK() != 0; });
          },
          "True when the vacuum is ready.")
      .def("pirani_setup", action("gauge setup", [](ZylInterface& z) { return z.PiraniSetup(); }),
           "Sets the Pirani gauge up (9600 baud, mbar).")
      .def(
          "pressure_mbar",
          [](Instrument& i) {
            double pressure = 0;
            i.act("pressure", [&](ZylInterface& z) { return z.PiraniPressureMBar(&pressure); });
            return pressure;
          },
          "The Pirani gauge's pressure in mbar.")
      .def_property(
          "using_helium",
          [](Instrument& i) {
            return i.ask([](ZylInterface& z) { return z.GetUsingHelium() != 0; });
          },
          [](Instrument& i, bool helium) {
            i.act("helium", [&](ZylInterface& z) { return z.SetUsingHelium(helium); });
          },
          "Whether the gauge reading is corrected for helium (one setting per process).");
}

void bindIo(py::class_<Instrument>& c) {
  c.def(
       "set_dig_out",
       [](Instrument& i, long long channel, bool on, bool send) {
         const auto ch = within<unsigned char>(surface::kDigitalOutput, channel);
         i.act("digital output", [&](ZylInterface& z) { return z.SetDigOut(ch, on, send); });
       },
       py::arg("channel"), py::arg("on"), py::arg("send") = true,
       "Sets a digital output; with send=False only the stored word changes.")
      .def(
          "dig_out",
          [](Instrument& i, long long channel) {
            const auto ch = within<unsigned char>(surface::kDigitalOutput, channel);
            return i.ask([&](ZylInterface& z) { return z.GetDigOut(ch) != 0; });
          },
          py::arg("channel"), "A digital output as last set.")
      .def("write_digital_out",
           action("digital outputs", [](ZylInterface& z) { return z.WriteDigitalOut(); }),
           "Sends the whole digital output word.")
      .def(
          "dig_in",
          [](Instrument& i, long long channel) {
            const auto ch = within<unsigned char>(surface::kDigitalInput, channel);
            return i.ask([&](ZylInterface& z) { return z.GetDigIn(ch) != 0; });
          },
          py::arg("channel"), "A digital input (0 to 15).")
      .def(
          "read_adc",
          [](Instrument& i, long long channel) {
            const auto ch = within<unsigned char>(surface::kAdcChannel, channel);
            return i.ask([&](ZylInterface& z) { return z.ReadADC(ch); });
          },
          py::arg("channel"), "An ADC reading (channels 0 to 31).")
      .def(
          "configure_analog_input",
          [](Instrument& i, int input, int setting) {
            i.act("analog input",
                  [&](ZylInterface& z) { return z.ConfigureAnalogInput(input, setting); });
          },
          py::arg("input"), py::arg("setting"), "Configures an analog input.")
      .def(
          "set_analog_output",
          [](Instrument& i, long long channel, long long value, long long mode) {
            within<int>(surface::kAnalogOutput, channel);
            within<int>(surface::kAnalogMode, mode);
            const auto v = within<unsigned short>(surface::kAnalogValue, value);
            i.act("analog output",
                  [&](ZylInterface& z) { return z.SetAnalogOutput(channel, v, mode); });
          },
          py::arg("channel"), py::arg("value"), py::arg("mode"), "Sets an analog output.")
      .def(
          "set_i2c",
          [](Instrument& i, long long first, long long second, long long third) {
            const auto a = within<unsigned char>(surface::kI2cByte, first);
            const auto b = within<unsigned char>(surface::kI2cByte, second);
            const auto d = within<unsigned char>(surface::kI2cByte, third);
            i.act("I2C", [&](ZylInterface& z) { return z.SetI2C(a, b, d); });
          },
          py::arg("first"), py::arg("second"), py::arg("third"),
          "Sends three bytes to the I2C setter.");
}

void bindScan(py::class_<Instrument>& c) {
  c.def(
       "set_scan_params",
       [](Instrument& i, long long channel, long long base, long long span) {
         const auto ch = narrow<unsigned char>(channel, "DAC channel");
         const auto b = narrow<short>(base, "DAC base"), s = narrow<short>(span, "DAC span");
         i.act("scan parameters", [&](ZylInterface& z) { return z.SetScanParams(ch, b, s); });
       },
       py::arg("channel"), py::arg("base"), py::arg("span"),
       "Makes a DAC channel (0 to 15) ramp from base by span over the scan range.")
      .def(
          "scan_params",
          [](Instrument& i, long long channel) {
            const auto ch = narrow<unsigned char>(channel, "DAC channel");
            short base = 0, span = 0;
            i.act("scan parameters",
                  [&](ZylInterface& z) { return z.GetScanParams(ch, &base, &span); });
            return py::make_tuple(base, span);
          },
          py::arg("channel"), "A DAC channel's (base, span).")
      .def(
          "set_dac_param",
          [](Instrument& i, long long channel, long long value) {
            const auto ch = narrow<unsigned char>(channel, "DAC channel");
            const auto v = narrow<short>(value, "DAC value");
            i.act("DAC parameter", [&](ZylInterface& z) { return z.SetDACParam(ch, v); });
          },
          py::arg("channel"), py::arg("value"), "Holds a DAC channel (0 to 15) at a fixed value.")
      .def(
          "dac_param",
          [](Instrument& i, long long channel) {
            const auto ch = narrow<unsigned char>(channel, "DAC channel");
            short value = 0;
            i.act("DAC parameter", [&](ZylInterface& z) { return z.GetDACParam(ch, &value); });
            return value;
          },
          py::arg("channel"), "A fixed DAC channel's value.")
      .def("scan", &Instrument::scan, py::arg("start"), py::arg("end"), py::arg("time_ms"),
           "Runs one scan from start to end (positions 0 to 65535) in time_ms and returns its "
           "counts as a numpy uint32 array, on either firmware generation. On V3 firmware the "
           "scan data are read in the simulated instrument's layout.")
      .def("clear_scan_queue",
           action("clear scan queue", [](ZylInterface& z) { return z.ClearScanQueue(); }),
           "V3 firmware: drops the queued scans.");
}

// The three heaters share one shape: four methods each, named after the C++ operations.
struct HeaterBinding {
  const char* setOn;
  const char* isOn;
  const char* setTemp;
  const char* temp;
  unsigned int (ZylInterface::*setOnOf)(unsigned char);
  unsigned char (ZylInterface::*isOnOf)();
  unsigned int (ZylInterface::*setTempOf)(float);
  const surface::Heater* heater;
};
const HeaterBinding kHeaters[] = {
    {"set_capillary_heater_on", "capillary_heater_on", "set_capillary_heater_temp",
     "capillary_heater_temp", &ZylInterface::SetCapillaryHeaterOn,
     &ZylInterface::GetCapillaryHeaterOn, &ZylInterface::SetCapillaryHeaterTemp,
     &surface::heaters()[0]},
    {"set_desolvation_heater_on", "desolvation_heater_on", "set_desolvation_heater_temp",
     "desolvation_heater_temp", &ZylInterface::SetDesolvationHeaterOn,
     &ZylInterface::GetDesolvationHeaterOn, &ZylInterface::SetDesolvationHeaterTemp,
     &surface::heaters()[1]},
    {"set_apci_heater_on", "apci_heater_on", "set_apci_heater_temp", "apci_heater_temp",
     &ZylInterface::SetAPCIHeaterOn, &ZylInterface::GetAPCIHeaterOn,
     &ZylInterface::SetAPCIHeaterTemp, &surface::heaters()[2]},
};

void bindHeaters(py::class_<Instrument>& c) {
  for (const HeaterBinding& h : kHeaters) {
    c.def(
         h.setOn,
         [h](Instrument& i, bool on) {
           i.act(h.setOn, [&](ZylInterface& z) { return (z.*h.setOnOf)(on); });
         },
         py::arg("on"),
         "Switches the heater on or off; the desolvation and APCI heaters raise InterlockError "
         "while the capillary heater is still heating up.")
        .def(
            h.isOn,
            [h](Instrument& i) {
              return i.ask([&](ZylInterface& z) { return (z.*h.isOnOf)() != 0; });
            },
            "Whether the heater was switched on.")
        .def(
            h.setTemp,
            [h](Instrument& i, double setpoint) {
              const auto t = within<float>(surface::kHeaterSetpoint, setpoint);
              i.act(h.setTemp, [&](ZylInterface& z) { return (z.*h.setTempOf)(t); });
            },
            py::arg("setpoint"), "The heater's set-point in degrees C (stored while disconnected).")
        .def(
            h.temp,
            [h](Instrument& i) {
              return i.ask(
                  [&](ZylInterface& z) { return surface::currentTemperature(z, *h.heater); });
            },
            "The heater's temperature reading in degrees C (older firmware's status refreshed "
            "where the reading comes from it).");
  }
}

void bindFirmware(py::class_<Instrument>& c) {
  c.def("update_firmware", &Instrument::updateFirmware, py::arg("image"),
        py::arg("progress") = py::none(),
        "Writes a new firmware image (bytes) and reads the version afresh. progress(n), if "
        "given, is called on this thread with the bytes written so far, about every 10,000, "
        "and with the image's length + 1000 when all blocks were accepted.");
}

}  // namespace

PYBIND11_MODULE(zyl, m) {
  m.doc() =
      "Drive a zyl mass spectrometer from Python: zyl.Instrument(sim=True) talks to the "
      "simulated instrument, zyl.Instrument() to the one on USB.";
  m.attr("__version__") = ZYL_VERSION;
  zyl::python::addExceptions(m);

  py::enum_<CommunicationState>(m, "CommunicationState", "The instrument object's connection.")
      .value("NOT_CONNECTED", CommNotConnected)
      .value("NO_RESPONSE", CommNoResponse)
      .value("CONNECTED", CommConnected)
      .value("INITIALIZED", CommInitialized);
  py::enum_<VexaHardwareType>(m, "HardwareType", "The instrument model.")
      .value("ZentraVexa", ZentraVexa)
      .value("ZentraSVexa", ZentraSVexa)
      .value("ZentraLVexa", ZentraLVexa)
      .value("ZentraVexaOEM", ZentraVexaOEM)
      .value("ZentraSVexaOEM", ZentraSVexaOEM)
      .value("ZentraLVexaOEM", ZentraLVexaOEM)
      .value("ZentraCVexa", ZentraCVexa);

  py::enum_<PiraniType>(m, "PiraniType", "The Pirani gauge of the configuration.")
      .value("External", Pirani_External)
      .value("Internal", Pirani_Internal);
  py::enum_<RfBoxType>(m, "RfBoxType", "The RF box of the configuration.")
      .value("Original", RfBox_Original)
      .value("Adjustable", RfBox_Adjustable)
      .value("Si5351Adjustable", RfBox_Si5351Adjustable);
  py::enum_<SourceHousingType>(m, "SourceHousingType", "The source housing of the configuration.")
      .value("Unknown", Housing_Unknown)
      .value("Generation1", Housing_Generation1)
      .value("Generation2", Housing_Generation2);
  py::enum_<HeaterControllerType>(m, "HeaterControllerType", "A heater's controller.")
      .value("Unknown", HC_Unknown)
      .value("WatlowPM3", HC_WatlowPM3)
      .value("DigitalBoardBuiltIn", HC_DigitalBoardBuiltIn);
  py::enum_<PowerSupplyType>(m, "PowerSupplyType", "A power supply of the configuration.")
      .value("Unknown", PSU_Unknown)
      .value("AppliedSC005RCD025", PSU_AppliedSC005RCD025)
      .value("AppliedMS009MZZ652", PSU_AppliedMS009MZZ652)
      .value("SpellmanMXP10PN15", PSU_SpellmanMXP10PN15)
      .value("SpellmanMX8PN24720", PSU_SpellmanMX8PN24720)
      .value("SensTechPS10", PSU_SensTechPS10);
  py::enum_<HeadAmpType>(m, "HeadAmpType", "The head amplifier of the configuration.")
      .value("Unknown", HeadAmp_Unknown)
      .value("Slow", HeadAmp_Slow)
      .value("Fast", HeadAmp_Fast);

  py::class_<Instrument> c(m, "Instrument",
                           "One instrument. Operations that fail raise a subclass of zyl.Error; "
                           "calls that talk to the instrument release the GIL.");
  c.def(py::init([](bool sim, std::optional<std::string> firmware,
                    std::optional<std::filesystem::path> debugDir, double timeScale) {
          return new Instrument(sim, std::move(firmware),
                                debugDir ? std::optional(debugDir->string()) : std::nullopt,
                                timeScale);
        }),
        py::arg("sim") = false, py::arg("firmware") = py::none(), py::arg("debug_dir") = py::none(),
        py::arg("time_scale") = 1.0,
        "Connects to the instrument on USB, or with sim=True to a simulated one of its own "
        "(firmware: its version text, e.g. 'VERSION110812' for the older generation; "
        "time_scale: how much faster its pump-down and heat-up run). debug_dir: where "
        "ZylDebug.out is appended. A missing instrument is not an error: see "
        "communication_state.");
  bindConnection(c);
  bindStatus(c);
  bindIo(c);
  bindScan(c);
  bindHeaters(c);
  bindFirmware(c);
  zyl::python::bindConfig(c);
  zyl::python::bindTune(c);
  zyl::python::bindAcquisition(m, c);
  c.def(
      "type_name",
      [](Instrument& i, VexaHardwareType model) {
        return i.ask([&](ZylInterface& z) { return std::string(z.GetHardwareTypeName(model)); });
      },
      py::arg("value"), "The display text of an identity type's value.");

  py::module_::import("atexit").attr("register")(py::cpp_function([] { zyl::python::shutDown(); }));
}
