#include "config/tune/forms.h"

#include <cstdlib>
#include <cstring>

#include "config/tune/objects.h"
#include "zyl/XmlError.h"

namespace zyl::tune {

namespace {

template <class Document>
bool writeDocument(const Document& document, const char* rootName,
                   const xml::WriterSettings& settings, std::string& out) {
  out.clear();
  xml::Writer writer(out, settings);
  return document.marshal(writer, rootName) == xml::kOk;
}

}  // namespace

bool simplifyTune(const char* xml, bool full, std::string& out) {
  int error = xml::kOk;
  c_tuneParameters tune = ObjectUtility::parseTuneParameters(xml, &error);
  if (error != xml::kOk) return false;
  if (full) {
    tune.unset_calibration();
    return writeDocument(tune, "tuneParameters", kFullTuneForm, out);
  }
  const bool keepSimple = tune.isset_calibration() && tune.get_calibration().size_segment() > 0;
  if (!keepSimple) {
    const c_massCalibration mass = tune.get_massCalibration();
    if (mass.size_calibration() > 0) {
      const c_speedCalibration first = mass.get_calibration(0);
      c_calibration simple;
      for (std::size_t i = 0; i < first.size_segment(); ++i) {
        simple.append_segment(c_calibrationSegment(first.get_segment(i)));
      }
      tune.assign_calibration(std::move(simple));
    }
  }
  tune.unset_massCalibration();
  tune.set_version(L"1.2");
  return writeDocument(tune, "tuneParameters", kSimplifiedTuneForm, out);
}

bool rewrite(Kind kind, const char* xml, std::size_t length, const xml::WriterSettings& settings,
             std::string& out) {
  int error = xml::kOk;
  if (kind == Kind::Tune) {
    const c_tuneParameters tune(xml, length, &error);
    return error == xml::kOk && writeDocument(tune, "tuneParameters", settings, out);
  }
  const c_ionSourceOptimization ion(xml, length, &error);
  return error == xml::kOk && writeDocument(ion, "ionSourceOptimization", settings, out);
}

char* handOut(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace zyl::tune
