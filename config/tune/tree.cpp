#include "config/tune/tree.h"

#include <algorithm>
#include <utility>

#include "config/xml/reader.h"
#include "zyl/XmlError.h"

namespace zyl::tune {

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";

bool named(const Node& node, std::string_view ns, std::string_view localName) {
  return node.name == localName && node.ns == ns;
}

// Mixed content is kept as written, so it may only use markup that still means the same once
// the element is written again: unprefixed elements of the element's own namespace, attributes
// in no namespace (or xml:). Prefixes declared around it are not kept.
bool rawContentSurvives(const xml::Element& element, std::string_view ns, int depth) {
  if (depth > kMaxDepth) return false;
  for (xml::Element c = element.firstChild(); c; c = c.nextSibling()) {
    if (c.prefixed() || c.namespaceUri() != ns) return false;
    for (std::size_t i = 0; i < c.attributeCount(); ++i) {
      const std::string_view attrNs = c.attributeNamespaceUri(i);
      if (!attrNs.empty() && attrNs != kXmlNamespace) return false;
    }
    if (!rawContentSurvives(c, ns, depth + 1)) return false;
  }
  return true;
}

int build(const xml::Element& element, Node& node, int depth, std::string* message) {
  if (depth > kMaxDepth) {
    if (message != nullptr) *message = "document nested too deeply";
    return xml::kMalformed;
  }
  node.ns = element.namespaceUri();
  node.name = element.name();
  node.attributes.reserve(element.attributeCount());
  for (std::size_t i = 0; i < element.attributeCount(); ++i) {
    node.attributes.push_back({std::string(element.attributeNamespaceUri(i)),
                               std::string(element.attributeName(i)),
                               std::string(element.attributeValue(i))});
  }
  if (element.hasMixedText()) {
    if (!rawContentSurvives(element, node.ns, depth + 1)) {
      if (message != nullptr) *message = "prefixed markup inside mixed content";
      return xml::kBadValue;
    }
    node.mixed = true;
    node.text = element.rawContent();
    return xml::kOk;
  }
  node.text = element.text();
  for (xml::Element c = element.firstChild(); c; c = c.nextSibling()) {
    node.children.emplace_back();
    if (const int error = build(c, node.children.back(), depth + 1, message)) return error;
  }
  return xml::kOk;
}

struct Binding {
  std::string prefix;
  std::string_view uri;
};

// Writes one element, declaring on it whatever namespaces it needs that are not yet in scope.
void writeNode(const Node& node, std::string_view name, xml::Writer& writer,
               std::string_view defaultNs, std::vector<Binding>& bindings) {
  writer.startElement(name);
  if (node.ns != defaultNs) writer.attribute("xmlns", node.ns);
  const std::size_t outerBindings = bindings.size();
  std::string qualified;
  for (const Attribute& a : node.attributes) {
    if (a.ns.empty()) {
      writer.attribute(a.name, a.value);
      continue;
    }
    std::string_view prefix = "xml";
    if (a.ns != kXmlNamespace) {
      auto bound = std::find_if(bindings.begin(), bindings.end(),
                                [&](const Binding& b) { return b.uri == a.ns; });
      if (bound == bindings.end()) {
        // Along one path through the tree the number of bindings only grows, so a numbered
        // prefix can never shadow one still in use.
        std::string fresh =
            a.ns == kXsiNamespace ? "xsi" : "ns" + std::to_string(bindings.size() + 1);
        writer.attribute("xmlns:" + fresh, a.ns);
        bindings.push_back({std::move(fresh), a.ns});
        bound = bindings.end() - 1;
      }
      prefix = bound->prefix;
    }
    qualified.assign(prefix).append(":").append(a.name);
    writer.attribute(qualified, a.value);
  }
  if (node.mixed) {
    writer.raw(node.text);
  } else if (node.children.empty()) {
    if (!node.text.empty()) writer.text(std::string_view(node.text));
  } else {
    for (const Node& c : node.children) writeNode(c, c.name, writer, node.ns, bindings);
  }
  writer.endElement();
  bindings.resize(outerBindings);
}

}  // namespace

Node* Node::child(std::string_view localName) {
  for (Node& c : children) {
    if (named(c, ns, localName)) return &c;
  }
  return nullptr;
}

std::size_t Node::count(std::string_view localName) const {
  return static_cast<std::size_t>(std::count_if(
      children.begin(), children.end(), [&](const Node& c) { return named(c, ns, localName); }));
}

const Node* Node::child(std::string_view localName, std::size_t index) const {
  for (const Node& c : children) {
    if (named(c, ns, localName) && index-- == 0) return &c;
  }
  return nullptr;
}

bool Node::remove(std::string_view localName) {
  const auto it = std::find_if(children.begin(), children.end(),
                               [&](const Node& c) { return named(c, ns, localName); });
  if (it == children.end()) return false;
  children.erase(it);
  return true;
}

void Node::setAttribute(std::string_view localName, std::string_view value) {
  for (Attribute& a : attributes) {
    if (a.ns.empty() && a.name == localName) {
      a.value = value;
      return;
    }
  }
  attributes.push_back({std::string(), std::string(localName), std::string(value)});
}

int parse(std::string_view text, std::string_view rootName, Node& root, std::string* message) {
  root = Node();
  const xml::Reader reader(text);
  if (reader.error() != xml::kOk) {
    if (message != nullptr) *message = reader.errorMessage();
    return reader.error();
  }
  const xml::Element element = reader.root();
  if (element.name() != rootName) {
    if (message != nullptr) {
      *message = "root element is \"" + std::string(element.name()) + "\", not \"" +
                 std::string(rootName) + "\"";
    }
    return xml::kWrongRoot;
  }
  const int error = build(element, root, 1, message);
  if (error != xml::kOk) root = Node();
  return error;
}

int write(const Node& root, std::string_view rootName, xml::Writer& writer) {
  std::vector<Binding> bindings;
  writeNode(root, rootName, writer, std::string_view(), bindings);
  return writer.error();
}

}  // namespace zyl::tune
