#pragma once

// The tune-parameter and ion-source documents as the default-settings slots use them: thin views
// over one element tree (config/tune/tree.h). Only what the slots reshape is named here:
//
//   tuneParameters            root; its "version" attribute is set on the simplified form
//     calibration             the simple calibration: a list of segment elements
//     massCalibration         a list of calibration elements, one per scan speed,
//       calibration             each a list of segment elements
//
// A segment is moved whole and never looked into; everything else in a document, and the
// whole ion-source document, only passes through.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "config/tune/tree.h"
#include "config/xml/writer.h"

namespace zyl::tune {

// A copy of one segment, held until it is appended to a calibration.
class c_calibrationSegment {
 public:
  explicit c_calibrationSegment(const Node& segment) : m_node(segment) {}

 private:
  friend class c_calibration;
  Node m_node;
};

// The segments of one scan speed of a mass calibration; a view, valid while its document is
// unchanged.
class c_speedCalibration {
 public:
  explicit c_speedCalibration(const Node* node) : m_node(node) {}
  std::size_t size_segment() const;
  // The index-th segment from 0; an empty element beyond the last.
  const Node& get_segment(std::size_t index) const;

 private:
  const Node* m_node;
};

// A view of a document's mass calibration; empty when the document has none.
class c_massCalibration {
 public:
  explicit c_massCalibration(const Node* node) : m_node(node) {}
  std::size_t size_calibration() const;
  c_speedCalibration get_calibration(std::size_t index) const;

 private:
  const Node* m_node;
};

// A simple calibration: either a new one of its own or a view of a document's.
class c_calibration {
 public:
  c_calibration();
  std::size_t size_segment() const;
  void append_segment(c_calibrationSegment segment);

 private:
  friend class c_tuneParameters;
  explicit c_calibration(Node* node) : m_node(node) {}
  std::unique_ptr<Node> m_own;
  Node* m_node;
};

// What both documents share: parsing with the root check, and writing under a root name.
class Document {
 public:
  // Writes the document under `rootName`; 0 on success.
  int marshal(xml::Writer& writer, const char* rootName) const;
  const Node& root() const { return m_root; }

 protected:
  Document() = default;
  // `error` receives 0 or the code of zyl/XmlError.h; `debugError` what went wrong.
  Document(std::string_view rootName, const char* xml, std::size_t length, int* error,
           std::string* debugError);
  Node m_root;
};

class c_tuneParameters : public Document {
 public:
  c_tuneParameters() = default;
  c_tuneParameters(const char* xml, std::size_t length, int* error,
                   std::string* debugError = nullptr);

  void set_version(std::wstring_view version);

  bool isset_calibration();
  // A view of the simple calibration; one of no segments when there is none.
  c_calibration get_calibration();
  void unset_calibration();
  // Makes `calibration` the simple calibration: in place of the present one, else just before
  // the mass calibration, else last.
  void assign_calibration(c_calibration&& calibration);

  c_massCalibration get_massCalibration();
  void unset_massCalibration();
};

class c_ionSourceOptimization : public Document {
 public:
  c_ionSourceOptimization(const char* xml, std::size_t length, int* error,
                          std::string* debugError = nullptr);
};

namespace ObjectUtility {
// Parses zero-terminated tune-parameter text; a non-zero `error` means failure.
c_tuneParameters parseTuneParameters(const char* xml, int* error);
}  // namespace ObjectUtility

}  // namespace zyl::tune
