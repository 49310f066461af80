// The Python face of one instrument object: a ZylInterface behind the GIL rules of the module.
//
// Every call that talks to the instrument runs with the GIL released (`ask`, `act`); status codes
// that are not 0 become the exception class of what failed (`raiseStatus`). The status and
// progress callbacks of the library are plain function pointers, so the Python callables live
// here and two trampolines take the GIL back to call them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "surface/checks.h"
#include "zyl/ZylInterface.h"

namespace zyl::python {

namespace py = pybind11;

// Creates zyl.Error and its subclasses in `module`.
void addExceptions(py::module_& module);
// Raises `cls` with `message` and the attribute `code`.
[[noreturn]] void raiseError(py::handle cls, const std::string& message, py::object code);
// Raises the exception class of `status` (not 0) with a message naming `what` and the code.
[[noreturn]] void raiseStatus(unsigned int status, const std::string& what);
inline void check(unsigned int status, const char* what) {
  if (status != ZYL_SUCCESS) raiseStatus(status, what);
}
// InvalidArgumentError (code 4) with a refusal of the shared checks, unless `why` is empty: the
// module refuses what the tool refuses, in the same words.
void refuseIf(const std::string& why);
// `value` when it lies within `limit`, else InvalidArgumentError.
template <class T>
T within(const surface::Limit& limit, double value) {
  refuseIf(surface::checkValue(limit, value));
  return static_cast<T>(value);
}
// `value` as T, or InvalidArgumentError naming `name` when it does not fit.
template <class T>
T narrow(long long value, const char* name) {
  if (value < static_cast<long long>(std::numeric_limits<T>::min()) ||
      value > static_cast<long long>(std::numeric_limits<T>::max()))
    raiseStatus(ZYL_INVALID_ARGUMENT, std::string(name) + " " + std::to_string(value));
  return static_cast<T>(value);
}

// Stops every stream and silences the status callback; registered with atexit, so that no
// library thread is left reaching for the GIL of an interpreter that is going away.
void shutDown();

class Instrument {
 public:
  Instrument(bool sim, std::optional<std::string> firmware, std::optional<std::string> debugDir,
             double timeScale);
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  // Runs f(ZylInterface&) with the GIL released and returns its result.
  template <class F>
  auto ask(F&& f) {
    ZylInterface& z = open();
    py::gil_scoped_release release;
    return f(z);
  }
  // Runs f(ZylInterface&), which returns a status code, with the GIL released; raises on failure.
  template <class F>
  void act(const char* what, F&& f) {
    check(ask(std::forward<F>(f)), what);
  }

  void close();
  py::dict status();
  // Reads the record as it is, without asking the instrument (the status thread's view).
  py::dict record();
  void watchStatus(py::object callback);
  py::array_t<uint32_t> scan(long long start, long long end, long long timeMs);
  // The progress callable is called on this thread, with the GIL, as the blocks go out.
  void updateFirmware(py::bytes image, py::object progress);

 private:
  ZylInterface& open();
  py::array_t<uint32_t> scanOlder(uint16_t start, uint16_t end, unsigned int timeMs);
  py::array_t<uint32_t> scanV3(uint16_t start, uint16_t end, unsigned int timeMs);
  void stopStream();

  std::unique_ptr<ZylInterface> z_;
  py::object watcher_;                 // the status callback, None when not watching
  std::vector<uint8_t> v3ScanBuffer_;  // one V3 scan message, kept between scans
  friend void shutDown();
  friend void onStatusFrame();
};

// Configuration and identity, flash regions (config.cpp); the tune and ion-source slots.
void bindConfig(py::class_<Instrument>& c);
void bindTune(py::class_<Instrument>& c);
// Runs of scans, the mzML writer and the mass calibration (acquisition.cpp).
void bindAcquisition(py::module_& m, py::class_<Instrument>& c);

// A method that sends a command and raises on a status that is not 0.
template <class F>
auto action(const char* what, F f) {
  return [what, f](Instrument& i) { i.act(what, f); };
}

}  // namespace zyl::python
