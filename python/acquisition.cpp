// Runs of scans as a Python iterator, the mzML writer and the mass calibration.
#include <pybind11/stl.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "python/instrument.h"
#include "zyl/Acquisition.h"

namespace zyl::python {

namespace {

// Spectra wait here until Python takes them; the run's delivery thread never waits for Python.
struct Queue : acq::Sink {
  std::mutex m;
  std::condition_variable cv;
  std::deque<acq::Spectrum> spectra;
  bool ended = false;
  bool onSpectrum(const acq::Spectrum& s) override {
    {
      std::lock_guard g(m);
      spectra.push_back(s);
    }
    cv.notify_all();
    return true;
  }
  void onEnd(const acq::Summary&) override {
    {
      std::lock_guard g(m);
      ended = true;
    }
    cv.notify_all();
  }
};

struct Run {
  Queue queue;
  std::unique_ptr<acq::Acquisition> acquisition;
  acq::Summary summary;
  bool waited = false;

  std::optional<acq::Spectrum> next() {
    py::gil_scoped_release release;
    std::unique_lock g(queue.m);
    queue.cv.wait(g, [&] { return !queue.spectra.empty() || queue.ended; });
    if (queue.spectra.empty()) return std::nullopt;
    acq::Spectrum s = std::move(queue.spectra.front());
    queue.spectra.pop_front();
    return s;
  }
  const acq::Summary& finish() {
    if (!waited) {
      py::gil_scoped_release release;
      summary = acquisition->wait();
      waited = true;
    }
    return summary;
  }
};

py::dict summaryDict(const acq::Summary& s) {
  py::dict d;
  d["ending"] = acq::endingName(s.ending);
  d["message"] = s.message;
  d["spectra"] = s.spectra;
  d["gaps"] = s.gaps;
  d["elapsed_s"] = s.elapsed;
  return d;
}

acq::MassCalibration fromXmlOrRaise(const std::string& xml) {
  std::string why;
  auto cal = acq::MassCalibration::fromXml(xml, &why);
  if (!cal) raiseStatus(ZYL_INVALID_ARGUMENT, "calibration: " + why);
  return *cal;
}

}  // namespace

void bindAcquisition(py::module_& m, py::class_<Instrument>& c) {
  py::class_<acq::MassCalibration>(m, "Calibration",
                                   "A mass calibration: position to m/z, segments per scan speed.")
      .def(py::init([](const std::string& xml) { return fromXmlOrRaise(xml); }), py::arg("xml"),
           "From its XML form (a massCalibration element, alone or in a tune document).")
      .def_static(
          "from_file",
          [](const std::string& path) {
            std::string why;
            auto cal = acq::MassCalibration::fromFile(path, &why);
            if (!cal) raiseStatus(ZYL_INVALID_ARGUMENT, why);
            return *cal;
          },
          py::arg("path"))
      .def("to_xml", &acq::MassCalibration::toXml)
      .def_property_readonly(
          "speeds",
          [](const acq::MassCalibration& cal) {
            py::list out;
            for (const auto& s : cal.speeds) {
              py::list segs;
              for (const auto& g : s.segments)
                segs.append(py::make_tuple(g.from, g.to, g.c0, g.c1, g.c2));
              out.append(py::make_tuple(s.speed, segs));
            }
            return out;
          },
          "[(speed, [(from, to, c0, c1, c2), ...]), ...]")
      .def(
          "mz",
          [](const acq::MassCalibration& cal, long long start, long long end, long long timeMs,
             long long n) {
            py::array_t<double> out(static_cast<py::ssize_t>(std::max(0LL, n)));
            cal.apply(narrow<uint16_t>(start, "start"), narrow<uint16_t>(end, "end"),
                      narrow<uint32_t>(timeMs, "time_ms"), static_cast<size_t>(out.size()),
                      out.mutable_data());
            return out;
          },
          py::arg("start"), py::arg("end"), py::arg("time_ms"), py::arg("points"),
          "The m/z of each point of a scan.");

  py::class_<acq::Spectrum>(m, "Spectrum", "One scan of a run.")
      .def_readonly("index", &acq::Spectrum::index)
      .def_readonly("start_time", &acq::Spectrum::startTime, "seconds since the run began")
      .def_readonly("start", &acq::Spectrum::start)
      .def_readonly("end", &acq::Spectrum::end)
      .def_readonly("time_ms", &acq::Spectrum::scanTimeMs)
      .def_readonly("positive", &acq::Spectrum::positive)
      .def_readonly("tic", &acq::Spectrum::tic)
      .def_readonly("base_peak_mz", &acq::Spectrum::basePeakMz)
      .def_readonly("base_peak_intensity", &acq::Spectrum::basePeakIntensity)
      .def_readonly("calibrated", &acq::Spectrum::calibrated, "False: mz holds scan positions")
      .def_property_readonly(
          "mz",
          [](const acq::Spectrum& s) { return py::array_t<double>(s.mz.size(), s.mz.data()); })
      .def_property_readonly("intensity", [](const acq::Spectrum& s) {
        return py::array_t<float>(s.intensity.size(), s.intensity.data());
      });

  py::class_<Run>(m, "Run", "A run of scans; iterate it for its spectra.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__",
           [](Run& r) {
             auto s = r.next();
             if (!s) throw py::stop_iteration();
             return *s;
           })
      .def(
          "stop", [](Run& r) { r.acquisition->stop(); }, "Ends the run after the scan in flight.")
      .def_property_readonly(
          "summary", [](Run& r) { return summaryDict(r.finish()); },
          "How the run ended (waits for the end).");

  c.def(
      "acquire",
      [](Instrument& i, long long start, long long end, long long timeMs, long long scans,
         double durationS, std::optional<int> triggerInput, bool rising, bool negative,
         std::optional<acq::MassCalibration> calibration) {
        acq::Method method;
        method.start = narrow<uint16_t>(start, "start");
        method.end = narrow<uint16_t>(end, "end");
        method.scanTimeMs = narrow<uint32_t>(timeMs, "time_ms");
        method.scans = narrow<uint32_t>(scans, "scans");
        method.duration = std::chrono::milliseconds(static_cast<int64_t>(durationS * 1000));
        method.normalPolarity = !negative;
        if (triggerInput) {
          method.trigger.kind =
              rising ? acq::StartTrigger::RisingEdge : acq::StartTrigger::FallingEdge;
          method.trigger.channel = *triggerInput;
        }
        if (std::string why = acq::check(method); !why.empty())
          raiseStatus(ZYL_INVALID_ARGUMENT, why);
        ZylInterface* z = i.ask([](ZylInterface& zi) { return &zi; });
        method.calibration = calibration ? *calibration : acq::storedCalibration(*z);
        auto run = std::make_unique<Run>();
        run->acquisition = std::make_unique<acq::Acquisition>(*z, method, run->queue);
        if (!run->acquisition->start())
          raiseStatus(ZYL_COMM_FAILURE, "acquire: " + run->acquisition->wait().message);
        return run;
      },
      py::arg("start"), py::arg("end"), py::arg("time_ms"), py::arg("scans") = 0,
      py::arg("duration_s") = 0.0, py::arg("trigger_input") = py::none(), py::arg("rising") = true,
      py::arg("negative") = false, py::arg("calibration") = py::none(), py::keep_alive<0, 1>(),
      "Starts a run of back-to-back scans (scans=N or duration_s=S) and returns it: iterate it "
      "for Spectrum objects. The m/z axis comes from `calibration`, else the instrument's default "
      "tune, else the spectra hold scan positions. Call nothing else on the instrument until the "
      "run has ended.");
  c.def(
      "stored_calibration",
      [](Instrument& i, bool groupA) {
        auto cal = i.ask([&](ZylInterface& z) { return acq::storedCalibration(z, groupA); });
        return cal.empty() ? py::none() : py::cast(cal);
      },
      py::arg("group_a") = true, "The default tune's mass calibration, or None.");

  py::class_<acq::MzmlWriter>(m, "MzmlWriter",
                              "Writes spectra into an indexed mzML file as they come.")
      .def(py::init([](const std::string& path, std::string model, std::string serial,
                       bool centroid, std::optional<acq::MassCalibration> calibration) {
             acq::MzmlInfo info;
             info.instrumentModel = std::move(model);
             info.serialNumber = std::move(serial);
             info.centroid = centroid;
             if (calibration) info.calibration = *calibration;
             std::string why;
             auto w = acq::MzmlWriter::open(path, info, &why);
             if (!w) raiseStatus(ZYL_INVALID_ARGUMENT, why);
             return w;
           }),
           py::arg("path"), py::arg("model") = "", py::arg("serial_number") = "",
           py::arg("centroid") = false, py::arg("calibration") = py::none())
      .def(
          "write",
          [](acq::MzmlWriter& w, const acq::Spectrum& s) {
            if (!w.onSpectrum(s)) raiseStatus(ZYL_INVALID_ARGUMENT, "mzML: " + w.error());
          },
          py::arg("spectrum"))
      .def("close",
           [](acq::MzmlWriter& w) {
             if (!w.close()) raiseStatus(ZYL_INVALID_ARGUMENT, "mzML: " + w.error());
           })
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](acq::MzmlWriter& w, py::args) { w.close(); });
}

}  // namespace zyl::python
