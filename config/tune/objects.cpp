#include "config/tune/objects.h"

#include <cstring>
#include <utility>

#include "config/xml/text.h"
#include "zyl/XmlError.h"

namespace zyl::tune {

namespace {

constexpr std::string_view kCalibration = "calibration";
constexpr std::string_view kMassCalibration = "massCalibration";
constexpr std::string_view kSegment = "segment";

}  // namespace

std::size_t c_speedCalibration::size_segment() const {
  return m_node == nullptr ? 0 : m_node->count(kSegment);
}

const Node& c_speedCalibration::get_segment(std::size_t index) const {
  static const Node kNone;
  const Node* segment = m_node == nullptr ? nullptr : m_node->child(kSegment, index);
  return segment == nullptr ? kNone : *segment;
}

std::size_t c_massCalibration::size_calibration() const {
  return m_node == nullptr ? 0 : m_node->count(kCalibration);
}

c_speedCalibration c_massCalibration::get_calibration(std::size_t index) const {
  return c_speedCalibration(m_node == nullptr ? nullptr : m_node->child(kCalibration, index));
}

c_calibration::c_calibration() : m_own(std::make_unique<Node>()), m_node(m_own.get()) {
  m_node->name = kCalibration;
}

std::size_t c_calibration::size_segment() const {
  return m_node == nullptr ? 0 : m_node->count(kSegment);
}

void c_calibration::append_segment(c_calibrationSegment segment) {
  if (m_node == nullptr) return;
  Node& added = m_node->children.emplace_back(std::move(segment.m_node));
  // The segment now lives in this calibration's namespace, like every other child of it.
  added.name = kSegment;
  added.ns = m_node->ns;
}

Document::Document(std::string_view rootName, const char* xml, std::size_t length, int* error,
                   std::string* debugError) {
  const std::string_view text = xml == nullptr ? std::string_view() : std::string_view(xml, length);
  const int result = parse(text, rootName, m_root, debugError);
  if (error != nullptr) *error = result;
}

int Document::marshal(xml::Writer& writer, const char* rootName) const {
  return write(m_root, rootName, writer);
}

c_tuneParameters::c_tuneParameters(const char* xml, std::size_t length, int* error,
                                   std::string* debugError)
    : Document("tuneParameters", xml, length, error, debugError) {}

void c_tuneParameters::set_version(std::wstring_view version) {
  m_root.setAttribute("version", xml::toUtf8(version));
}

bool c_tuneParameters::isset_calibration() {
  return m_root.child(kCalibration) != nullptr;
}

c_calibration c_tuneParameters::get_calibration() {
  return c_calibration(m_root.child(kCalibration));
}

void c_tuneParameters::unset_calibration() {
  m_root.remove(kCalibration);
}

void c_tuneParameters::assign_calibration(c_calibration&& calibration) {
  if (calibration.m_node == nullptr) return;
  Node node = calibration.m_own ? std::move(*calibration.m_own) : *calibration.m_node;
  calibration.m_own.reset();
  calibration.m_node = nullptr;
  node.name = kCalibration;
  node.ns = m_root.ns;
  auto& children = m_root.children;
  if (Node* present = m_root.child(kCalibration)) {
    *present = std::move(node);
  } else if (Node* mass = m_root.child(kMassCalibration)) {
    children.insert(children.begin() + (mass - children.data()), std::move(node));
  } else {
    children.push_back(std::move(node));
  }
}

c_massCalibration c_tuneParameters::get_massCalibration() {
  return c_massCalibration(m_root.child(kMassCalibration));
}

void c_tuneParameters::unset_massCalibration() {
  m_root.remove(kMassCalibration);
}

c_ionSourceOptimization::c_ionSourceOptimization(const char* xml, std::size_t length, int* error,
                                                 std::string* debugError)
    : Document("ionSourceOptimization", xml, length, error, debugError) {}

c_tuneParameters ObjectUtility::parseTuneParameters(const char* xml, int* error) {
  return c_tuneParameters(xml, xml == nullptr ? 0 : std::strlen(xml), error);
}

}  // namespace zyl::tune
