#pragma once

// The default tune and ion-source documents belong to the host: the library reads only the few
// elements it reshapes (the calibrations) and must hand everything else back as it came. So a
// document is held as one small ordered element tree, and whatever the library does not touch is
// written out again element for element, attribute for attribute.
//
// What is kept: elements and attributes in order with their namespaces, the text of elements
// without children, and the inner content of elements that mix text with child elements, byte
// for byte. What is not: comments and processing instructions between elements, the whitespace
// between elements (the writer lays the document out anew) and the prefixes a document used
// (namespace declarations are written where they are needed, with prefixes of our own).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/xml/writer.h"

namespace zyl::tune {

struct Attribute {
  std::string ns;  // namespace URI, empty when in no namespace
  std::string name;
  std::string value;
};

struct Node {
  std::string ns;  // namespace URI, empty when in no namespace
  std::string name;
  std::vector<Attribute> attributes;
  // The text of an element without children, entities resolved; or, when `mixed`, the element's
  // inner content as written (text and child markup together), and `children` is empty.
  std::string text;
  bool mixed = false;
  std::vector<Node> children;

  // Children are looked up by local name in the element's own namespace, so a host's extension
  // element of the same name in another namespace is never taken for one of ours.
  Node* child(std::string_view localName);
  std::size_t count(std::string_view localName) const;
  // The index-th child of that name, from 0; null when there are fewer.
  const Node* child(std::string_view localName, std::size_t index) const;
  // Removes the first child of that name; false when there is none.
  bool remove(std::string_view localName);
  // Sets an attribute in no namespace, in place when present, else after the others.
  void setAttribute(std::string_view localName, std::string_view value);
};

// Documents nested deeper than this are refused as malformed, so that neither reading nor
// writing recurses without bound whatever a host passes in.
inline constexpr int kMaxDepth = 256;

// Parses `text` (up to its end or its first zero byte) into `root`. The root element must have
// the local name `rootName` (its namespace is the document's own affair). Returns kOk,
// kMalformed or kWrongRoot of zyl/XmlError.h; on failure `message` (when given) says why.
int parse(std::string_view text, std::string_view rootName, Node& root,
          std::string* message = nullptr);

// Writes `root` under the name `rootName` through `writer`; kOk or the writer's error.
int write(const Node& root, std::string_view rootName, xml::Writer& writer);

}  // namespace zyl::tune
