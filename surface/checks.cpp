#include "surface/checks.h"

#include <expat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zyl::surface {
namespace {

// Room the scan reply keeps beside the points: the older firmware's trailer (ADC readings,
// inputs, serial-device text, the count) or the V3 message's header.
constexpr size_t kScanTrailerBytes = 1024;
constexpr uint64_t kMaxScanPoints = (ZYL_SCAN_REPLY_BYTES - kScanTrailerBytes) / 4;
constexpr long long kPositionMsPerPoint = 8192;

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string rangeOf(const Limit& limit) {
  return number(limit.lo) + " to " + number(limit.hi) + std::string(limit.unit);
}

}  // namespace

std::string checkValue(const Limit& limit, double value) {
  const std::string what(limit.what);
  if (std::isnan(value)) return what + " is not a number (" + rangeOf(limit) + ")";
  if (value < limit.lo || value > limit.hi)
    return what + " " + number(value) + " is out of range: " + rangeOf(limit);
  if (limit.whole && value != std::floor(value))
    return what + " " + number(value) + " is not a whole number (" + rangeOf(limit) + ")";
  return {};
}

std::string checkText(const Limit& limit, std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const char* begin = text.data() + (text.starts_with('+') ? 1 : 0);
  const auto [used, error] = std::from_chars(begin, end, value);
  if (text.empty() || used != end ||
      (error != std::errc() && error != std::errc::result_out_of_range))
    return std::string(limit.what) + " \"" + std::string(text) + "\" is not a number (" +
           rangeOf(limit) + ")";
  if (error == std::errc::result_out_of_range) value = text.starts_with('-') ? -HUGE_VAL : HUGE_VAL;
  return checkValue(limit, value);
}

uint64_t scanPoints(long long from, long long to, long long timeMs) {
  if (to <= from || timeMs <= 0) return 0;
  return static_cast<uint64_t>(to - from) * static_cast<uint64_t>(timeMs) / kPositionMsPerPoint;
}

std::string checkScan(long long from, long long to, long long timeMs) {
  for (const long long position : {from, to})
    if (std::string why = checkValue(kScanPosition, static_cast<double>(position)); !why.empty())
      return why;
  if (std::string why = checkValue(kScanTime, static_cast<double>(timeMs)); !why.empty())
    return why;
  if (from >= to)
    return "the end position " + std::to_string(to) + " is not above the start position " +
           std::to_string(from);
  const uint64_t points = scanPoints(from, to, timeMs);
  if (points <= kMaxScanPoints) return {};
  const long long longest =
      std::min<long long>(static_cast<long long>(((kMaxScanPoints + 1) * kPositionMsPerPoint - 1) /
                                                 static_cast<uint64_t>(to - from)),
                          static_cast<long long>(kScanTime.hi));
  return "a scan from " + std::to_string(from) + " to " + std::to_string(to) + " in " +
         std::to_string(timeMs) + " ms gives " + std::to_string(points) +
         " points, more than the " + std::to_string(kMaxScanPoints) +
         " a scan reply holds; the longest time for this range is " + std::to_string(longest) +
         " ms";
}

std::string checkQcData(std::string_view text) {
  // Parsed inside an element, as the configuration document holds it; no document type can
  // appear there, so no entity but the predefined ones resolves.
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (!parser) return "qc-data could not be checked (out of memory)";
  const std::string document = "<qcData>" + std::string(text) + "</qcData>";
  const bool ok =
      XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1) == XML_STATUS_OK;
  const std::string why = ok ? "" : XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  if (ok) return {};
  return "qc-data is not XML element content (" + why +
         "): write & as &amp; and < as &lt;, or give it as plain text (zyl config set --text, "
         "Python qc_text)";
}

std::string escapeText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

std::string checkNotEmpty(std::string_view what, size_t bytes) {
  if (bytes > 0) return {};
  return std::string(what) + " is empty";
}

std::string checkDocumentFits(size_t bytes) {
  if (bytes < ZYL_FLASH_REGION_BYTES) return {};
  return "the configuration document would hold " + std::to_string(bytes) +
         " bytes of qc-data alone: it does not fit its flash region (" +
         std::to_string(ZYL_FLASH_REGION_BYTES) +
         " bytes with a terminating zero); nothing was sent";
}

std::string checkFirmwareVersion(std::string_view text) {
  bool ok = text.size() <= 79 && text.starts_with("VERSION") && text.size() >= 13;
  for (size_t i = 7; ok && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    ok = i < 13 ? std::isdigit(c) != 0 : (std::isalnum(c) != 0 || c == '-');
  }
  if (ok) return {};
  return "\"" + std::string(text) +
         "\" is not a firmware version text (\"VERSION\", six digits, then letters, digits or "
         "dashes, e.g. VERSION130904A-V3 or VERSION110812)";
}

}  // namespace zyl::surface
