// The mzML writer. ProteoWizard writes every element (header parts, each spectrum, the TIC
// chromatogram) through its own IO::write, but its file writer needs the whole spectrum list at
// once (the list's count comes before the spectra), so a run's file is assembled here: the header
// with a space-padded count that close() fills in, each spectrum appended as it comes, then the
// chromatogram, the index of offsets and the SHA-1 checksum.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <sstream>

#include <boost/make_shared.hpp>
#include <pwiz/analysis/common/LocalMaximumPeakDetector.hpp>
#include <pwiz/data/msdata/IO.hpp>
#include <pwiz/data/msdata/MSData.hpp>
#include <pwiz/utility/minimxml/XMLWriter.hpp>
#include <pwiz/utility/misc/SHA1Calculator.hpp>

#include "zyl/Acquisition.h"
#include "zyl/version.h"

namespace zyl::acq {

namespace {

using namespace pwiz::msdata;
using pwiz::minimxml::XMLWriter;

constexpr size_t kCountWidth = 10;         // digits of the largest count, padded with spaces
constexpr off_t kTailBase = 16 * 1024;     // the closing part beside its per-spectrum share
constexpr off_t kTailPerSpectrum = 160;    // index entry and chromatogram points, generously
constexpr off_t kReserveStep = 64 * 1024;  // the reserve grows in steps of this

const char* const kCountMark = "@@COUNT@@";

BinaryDataEncoder::Config encoding() {
  BinaryDataEncoder::Config c;
  c.precision = BinaryDataEncoder::Precision_64;
  c.compression = BinaryDataEncoder::Compression_Zlib;
  c.precisionOverrides[pwiz::cv::MS_intensity_array] = BinaryDataEncoder::Precision_32;
  c.precisionOverrides[pwiz::cv::MS_time_array] = BinaryDataEncoder::Precision_64;
  return c;
}

// A value as its shortest exact text (pwiz writes doubles to six digits).
std::string exact(double v) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

std::string isoNow() {
  char text[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return text;
}

// The run's description: everything pwiz needs to write the header and resolve references.
void describe(MSData& msd, const MzmlInfo& info) {
  msd.id = "zyl_run";
  msd.cvs = defaultCVList();
  msd.fileDescription.fileContent.set(pwiz::cv::MS_MS1_spectrum);
  msd.fileDescription.fileContent.set(info.centroid ? pwiz::cv::MS_centroid_spectrum
                                                    : pwiz::cv::MS_profile_spectrum);
  // The schema wants a source file; the run's data come straight from the instrument.
  auto source = boost::make_shared<SourceFile>("instrument", "instrument", "usb://instrument");
  source->userParams.emplace_back("origin", "acquired live from the instrument");
  msd.fileDescription.sourceFilePtrs.push_back(source);

  auto software = boost::make_shared<Software>("zyl");
  software->version = ZYL_VERSION;
  software->set(pwiz::cv::MS_custom_unreleased_software_tool, "zyl");
  msd.softwarePtrs.push_back(software);

  auto ic = boost::make_shared<InstrumentConfiguration>("IC1");
  ic->set(pwiz::cv::MS_instrument_model, info.instrumentModel);
  ic->set(pwiz::cv::MS_instrument_serial_number, info.serialNumber);
  if (!info.firmware.empty()) ic->userParams.emplace_back("firmware version", info.firmware);
  Component src(ComponentType_Source, 1), analyzer(ComponentType_Analyzer, 2),
      detector(ComponentType_Detector, 3);
  src.set(pwiz::cv::MS_electrospray_ionization);
  for (const auto& [name, value] : info.sourceSettings) src.userParams.emplace_back(name, value);
  analyzer.set(pwiz::cv::MS_quadrupole);
  detector.set(pwiz::cv::MS_electron_multiplier);
  ic->componentList.push_back(src);
  ic->componentList.push_back(analyzer);
  ic->componentList.push_back(detector);
  ic->softwarePtr = software;
  msd.instrumentConfigurationPtrs.push_back(ic);

  auto dp = boost::make_shared<DataProcessing>("zyl_processing");
  ProcessingMethod conversion;
  conversion.order = 0;
  conversion.softwarePtr = software;
  conversion.set(pwiz::cv::MS_Conversion_to_mzML);
  if (!info.calibration.empty()) {
    conversion.set(pwiz::cv::MS_m_z_calibration);
    conversion.userParams.emplace_back("mass calibration", info.calibration.toXml());
    if (!info.calibrationOrigin.empty())
      conversion.userParams.emplace_back("mass calibration origin", info.calibrationOrigin);
  } else {
    conversion.userParams.emplace_back(
        "m/z axis", "uncalibrated: scan positions (0-65535) in place of m/z values");
  }
  dp->processingMethods.push_back(conversion);
  if (info.centroid) {
    ProcessingMethod picking;
    picking.order = 1;
    picking.softwarePtr = software;
    picking.set(pwiz::cv::MS_peak_picking);
    dp->processingMethods.push_back(picking);
  }
  msd.dataProcessingPtrs.push_back(dp);
  msd.run.id = "zyl_run";
  msd.run.defaultInstrumentConfigurationPtr = ic;
  msd.run.startTimeStamp = isoNow();
}

XMLWriter::Attributes attrs(std::initializer_list<std::pair<std::string, std::string>> list) {
  XMLWriter::Attributes a;
  a.assign(list.begin(), list.end());
  return a;
}

template <class T>
void writeList(XMLWriter& w, const char* name, const std::vector<T>& items) {
  XMLWriter::Attributes a;
  a.emplace_back("count", std::to_string(items.size()));
  w.startElement(name, a);
  for (const auto& item : items) IO::write(w, *item);
  w.endElement();
}

std::string header(const MSData& msd) {
  std::ostringstream os;
  XMLWriter w(os);
  const XMLWriter::Attributes indexed = attrs(
      {{"xmlns", "http://psi.hupo.org/ms/mzml"},
       {"xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance"},
       {"xsi:schemaLocation",
        "http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd"}});
  w.startElement("indexedmzML", indexed);
  const XMLWriter::Attributes mzml =
      attrs({{"xmlns", "http://psi.hupo.org/ms/mzml"},
             {"xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance"},
             {"xsi:schemaLocation",
              "http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd"},
             {"id", msd.id},
             {"version", "1.1.0"}});
  w.startElement("mzML", mzml);
  w.startElement("cvList", attrs({{"count", std::to_string(msd.cvs.size())}}));
  for (const CV& cv : msd.cvs) IO::write(w, cv);
  w.endElement();
  IO::write(w, msd.fileDescription);
  writeList(w, "softwareList", msd.softwarePtrs);
  writeList(w, "instrumentConfigurationList", msd.instrumentConfigurationPtrs);
  writeList(w, "dataProcessingList", msd.dataProcessingPtrs);
  w.startElement("run", attrs({{"id", msd.run.id},
                               {"defaultInstrumentConfigurationRef", "IC1"},
                               {"startTimeStamp", msd.run.startTimeStamp}}));
  w.startElement("spectrumList",
                 attrs({{"count", kCountMark}, {"defaultDataProcessingRef", "zyl_processing"}}));
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + os.str();
  // XMLWriter closes the open start tags only when something follows; end them by hand.
  if (!text.ends_with("\n")) text += "\n";
  return text;
}

}  // namespace

std::vector<Peak> pickPeaks(const std::vector<double>& mz, const std::vector<float>& intensity,
                            double minHeight) {
  std::vector<double> y(intensity.begin(), intensity.end()), px, py;
  pwiz::analysis::LocalMaximumPeakDetector detector(7);
  detector.detect(mz, y, px, py);
  std::vector<Peak> peaks;
  size_t at = 0;
  for (size_t k = 0; k < px.size(); ++k) {
    if (py[k] < minHeight) continue;
    while (at < mz.size() && mz[at] < px[k]) ++at;
    if (at >= mz.size()) break;
    // The centroid of the points above half the apex, for a position between the points.
    const double half = py[k] / 2;
    size_t lo = at, hi = at;
    while (lo > 0 && y[lo - 1] > half) --lo;
    while (hi + 1 < y.size() && y[hi + 1] > half) ++hi;
    double sum = 0, weighted = 0;
    for (size_t i = lo; i <= hi; ++i) {
      sum += y[i] - half;
      weighted += (y[i] - half) * mz[i];
    }
    peaks.push_back({sum > 0 ? weighted / sum : px[k], py[k]});
  }
  return peaks;
}

struct MzmlWriter::Impl {
  std::string target, partial, failure;
  MzmlInfo info;
  MSData msd;
  BinaryDataEncoder::Config config = encoding();
  int fd = -1;
  off_t pos = 0, reserved = 0, countAt = 0;
  uint32_t count = 0;
  bool closed = false;
  std::vector<std::pair<std::string, off_t>> offsets;
  std::vector<double> times, tics;

  ~Impl() {
    if (fd >= 0) ::close(fd);
  }

  bool writeAt(const std::string& bytes, off_t at) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, at + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (failure.empty())
          failure = partial + ": " + std::strerror(n < 0 ? errno : ENOSPC) + " after " +
                    std::to_string(count) + " spectra";
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Room on disk for the closing part of a file of `spectra` spectra, past `pos`.
  bool reserve(uint32_t spectra) {
    const off_t need = pos + kTailBase + kTailPerSpectrum * (spectra + 1);
    if (need <= reserved) return true;
    const off_t to = need + kReserveStep;
    const int e = ::posix_fallocate(fd, reserved, to - reserved);
    if (e != 0) {
      if (failure.empty())
        failure =
            partial + ": " + std::strerror(e) + " after " + std::to_string(count) + " spectra";
      return false;
    }
    reserved = to;
    return true;
  }

  std::string spectrumXml(const Spectrum& s) {
    SpectrumPtr sp = boost::make_shared<pwiz::msdata::Spectrum>();
    sp->index = count;
    sp->id = "scan=" + std::to_string(s.index + 1);
    sp->set(pwiz::cv::MS_ms_level, 1);
    sp->set(pwiz::cv::MS_MS1_spectrum);
    sp->set(s.positive ? pwiz::cv::MS_positive_scan : pwiz::cv::MS_negative_scan);
    sp->set(info.centroid ? pwiz::cv::MS_centroid_spectrum : pwiz::cv::MS_profile_spectrum);
    std::vector<double> mz, y;
    if (info.centroid) {
      for (const Peak& p : pickPeaks(s.mz, s.intensity, 0)) {
        mz.push_back(p.mz);
        y.push_back(p.intensity);
      }
    } else {
      mz = s.mz;
      y.assign(s.intensity.begin(), s.intensity.end());
    }
    sp->set(pwiz::cv::MS_lowest_observed_m_z, exact(mz.empty() ? 0 : mz.front()), pwiz::cv::MS_m_z);
    sp->set(pwiz::cv::MS_highest_observed_m_z, exact(mz.empty() ? 0 : mz.back()), pwiz::cv::MS_m_z);
    sp->set(pwiz::cv::MS_base_peak_m_z, exact(s.basePeakMz), pwiz::cv::MS_m_z);
    sp->set(pwiz::cv::MS_base_peak_intensity, exact(s.basePeakIntensity),
            pwiz::cv::MS_number_of_detector_counts);
    sp->set(pwiz::cv::MS_total_ion_current, exact(s.tic));
    sp->scanList.set(pwiz::cv::MS_no_combination);
    pwiz::msdata::Scan scan;
    scan.set(pwiz::cv::MS_scan_start_time, exact(s.startTime), pwiz::cv::UO_second);
    double lo = s.start, hi = s.end;
    if (!info.calibration.empty()) {
      double edges[2];
      // The window's edges as m/z: the first point and where a point after the last would be.
      MassCalibration one = info.calibration;
      one.apply(s.start, s.end, s.scanTimeMs, 1, edges);
      lo = edges[0];
      hi = s.mz.empty() ? lo : std::max(lo, s.mz.back());
    }
    ScanWindow window;
    window.set(pwiz::cv::MS_scan_window_lower_limit, exact(lo), pwiz::cv::MS_m_z);
    window.set(pwiz::cv::MS_scan_window_upper_limit, exact(hi), pwiz::cv::MS_m_z);
    scan.scanWindows.push_back(window);
    scan.userParams.emplace_back("scan positions",
                                 std::to_string(s.start) + "-" + std::to_string(s.end));
    scan.userParams.emplace_back("scan time", std::to_string(s.scanTimeMs), "xsd:integer",
                                 pwiz::cv::UO_millisecond);
    sp->scanList.scans.push_back(scan);
    sp->setMZIntensityArrays(mz, y, pwiz::cv::MS_number_of_detector_counts);
    sp->defaultArrayLength = mz.size();
    std::ostringstream os;
    XMLWriter w(os, XMLWriter::Config());
    IO::write(w, *sp, msd, config);
    return os.str();
  }

  bool add(const Spectrum& s) {
    if (closed || !failure.empty()) return false;
    const std::string xml = spectrumXml(s);
    // A failed write leaves the file as it was before this spectrum: the closing part goes over it.
    if (!writeAt(xml, pos)) return false;
    const off_t after = pos + static_cast<off_t>(xml.size());
    // The closing part needs its room past this spectrum; without it the spectrum is given up,
    // and the room reserved before it takes the closing part.
    const off_t before = pos;
    pos = after;
    if (!reserve(count + 1)) {
      pos = before;
      return false;
    }
    offsets.emplace_back("scan=" + std::to_string(s.index + 1),
                         before + static_cast<off_t>(xml.find('<')));
    ++count;
    times.push_back(s.startTime);
    tics.push_back(s.tic);
    return true;
  }

  std::string tail() {
    Chromatogram tic;
    tic.index = 0;
    tic.id = "TIC";
    tic.set(pwiz::cv::MS_TIC_chromatogram);
    tic.setTimeIntensityArrays(times, tics, pwiz::cv::UO_second,
                               pwiz::cv::MS_number_of_detector_counts);
    tic.defaultArrayLength = times.size();
    tic.dataProcessingPtr = msd.dataProcessingPtrs.front();
    std::string chromOpen =
        "    <chromatogramList count=\"1\" defaultDataProcessingRef=\"zyl_processing\">\n";
    std::ostringstream c;
    XMLWriter cw(c, XMLWriter::Config());
    BinaryDataEncoder::Config whole = config;  // the TIC keeps every digit: 64-bit throughout
    whole.precisionOverrides.clear();
    IO::write(cw, tic, whole);
    std::string text = "    </spectrumList>\n" + chromOpen;
    const off_t chromAt = pos + static_cast<off_t>(text.size());
    text += c.str() + "    </chromatogramList>\n  </run>\n</mzML>\n";
    const off_t indexAt = pos + static_cast<off_t>(text.size());
    text += "<indexList count=\"2\">\n<index name=\"spectrum\">\n";
    for (const auto& [id, at] : offsets)
      text += "<offset idRef=\"" + id + "\">" + std::to_string(at) + "</offset>\n";
    text += "</index>\n<index name=\"chromatogram\">\n<offset idRef=\"TIC\">" +
            std::to_string(chromAt + static_cast<off_t>(c.str().find('<'))) +
            "</offset>\n</index>\n</indexList>\n<indexListOffset>" + std::to_string(indexAt) +
            "</indexListOffset>\n<fileChecksum>";
    return text;
  }

  bool finish() {
    if (closed) return failure.empty();
    closed = true;
    // A failed spectrum write leaves bytes past `pos`: the closing part goes over them.
    std::string count_text = std::to_string(count);
    count_text.resize(kCountWidth, ' ');
    bool ok = writeAt(count_text, countAt);
    const std::string t = tail();
    ok = writeAt(t, pos) && ok;
    const off_t checksumAt = pos + static_cast<off_t>(t.size());
    pwiz::util::SHA1Calculator sha;
    std::vector<unsigned char> chunk(1 << 20);
    for (off_t at = 0; ok && at < checksumAt;) {
      const ssize_t n =
          ::pread(fd, chunk.data(), std::min<off_t>(chunk.size(), checksumAt - at), at);
      if (n <= 0)
        ok = false;
      else
        sha.update(chunk.data(), static_cast<size_t>(n));
      at += n;
    }
    sha.close();
    const std::string last = sha.hash() + "</fileChecksum>\n</indexedmzML>\n";
    ok = ok && writeAt(last, checksumAt);
    const off_t end = checksumAt + static_cast<off_t>(last.size());
    ok = ok && ::ftruncate(fd, end) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    fd = -1;
    if (!ok) {
      if (failure.empty()) failure = partial + ": the file could not be completed";
      return false;
    }
    if (std::rename(partial.c_str(), target.c_str()) != 0) {
      failure = "cannot rename " + partial + " to " + target + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
};

MzmlWriter::MzmlWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MzmlWriter::~MzmlWriter() {
  close();
}

std::unique_ptr<MzmlWriter> MzmlWriter::open(const std::string& path, MzmlInfo info,
                                             std::string* why) {
  auto impl = std::make_unique<Impl>();
  impl->target = path;
  impl->partial = path + ".partial";
  impl->info = std::move(info);
  describe(impl->msd, impl->info);
  auto fail = [&](const std::string& what) -> std::unique_ptr<MzmlWriter> {
    if (why) *why = what;
    if (impl->fd >= 0) ::unlink(impl->partial.c_str());
    return nullptr;
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return fail(path + " is a directory");
  impl->fd = ::open(impl->partial.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (impl->fd < 0) return fail("cannot create " + impl->partial + ": " + std::strerror(errno));
  std::string head = header(impl->msd);
  const size_t mark = head.find(kCountMark);
  head.replace(mark, std::strlen(kCountMark), std::string(kCountWidth, ' '));
  impl->countAt = static_cast<off_t>(mark);
  if (!impl->writeAt(head, 0)) return fail(impl->failure);
  impl->pos = static_cast<off_t>(head.size());
  impl->reserved = impl->pos;
  if (!impl->reserve(1)) return fail(impl->failure);
  return std::unique_ptr<MzmlWriter>(new MzmlWriter(std::move(impl)));
}

bool MzmlWriter::onSpectrum(const Spectrum& s) {
  return impl_->add(s);
}

bool MzmlWriter::close() {
  return impl_->finish();
}

const std::string& MzmlWriter::error() const {
  return impl_->failure;
}

uint32_t MzmlWriter::written() const {
  return impl_->count;
}

const std::string& MzmlWriter::path() const {
  return impl_->target;
}

}  // namespace zyl::acq
