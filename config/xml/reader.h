#pragma once

// Reading XML: the whole text is parsed by expat at construction into a compact element tree
// that points back into the caller's buffer. Elements are then walked in document order; the
// raw inner content of an element is the source text between its tags, byte for byte.
//
// Document type declarations are refused (so no entity can be declared or fetched), the text is
// always read as UTF-8, and namespaces are resolved: every element and attribute has a local
// name and a namespace URI (empty when in no namespace).
//
// A text that is not well-formed still yields the elements that were complete before the fault:
// binders can fill what came first and report error() when they reach an incomplete element.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::xml {

class Reader;

// A light handle on one element of a Reader; valid only while the Reader lives.
class Element {
 public:
  Element() = default;

  explicit operator bool() const { return m_reader != nullptr; }
  std::string_view name() const;
  std::string_view namespaceUri() const;

  // False when the element's end tag was never reached because the text was cut or malformed.
  bool complete() const;

  // The value of the attribute with this local name in no namespace; false when absent.
  bool attribute(std::string_view localName, std::string_view& value) const;
  std::size_t attributeCount() const;
  std::string_view attributeName(std::size_t index) const;
  std::string_view attributeNamespaceUri(std::size_t index) const;
  std::string_view attributeValue(std::size_t index) const;

  // The character data of an element without child elements, entities resolved, whitespace
  // kept. Empty for an element with children (whitespace between children is not content).
  std::string_view text() const;
  bool hasChildren() const;
  // True when non-whitespace text stands beside child elements (mixed content).
  bool hasMixedText() const;
  // True when the element's tag names it with a namespace prefix ("p:name").
  bool prefixed() const;

  // The source bytes between the start tag and the end tag, markup, comments, CDATA sections
  // and entity references as written. Empty for an element that is not complete.
  std::string_view rawContent() const;

  Element firstChild() const;
  Element nextSibling() const;
  Element parent() const;
  // 1-based line of the start tag.
  unsigned line() const;

 private:
  friend class Reader;
  Element(const Reader* reader, std::uint32_t index) : m_reader(reader), m_index(index) {}
  const Reader* m_reader = nullptr;
  std::uint32_t m_index = 0;
};

class Reader {
 public:
  // Parses `size` bytes at `data`, or fewer when a zero byte comes first: the text ends there.
  // The buffer must outlive the Reader.
  Reader(const char* data, std::size_t size);
  explicit Reader(std::string_view text) : Reader(text.data(), text.size()) {}
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // kOk, kMalformed when the text is not well-formed XML, kNoMemory.
  int error() const { return m_error; }
  // Expat's description with line and column; empty on success.
  const std::string& errorMessage() const { return m_errorMessage; }

  // The document element; invalid when the text held none (not even a start tag).
  Element root() const { return m_nodes.empty() ? Element() : Element(this, 0); }
  std::string_view source() const { return m_source; }

 private:
  friend class Element;
  friend struct ReaderBuilder;

  static constexpr std::uint32_t kNone = UINT32_MAX;

  struct Node {
    std::uint32_t nameOff, nameLen;
    std::uint32_t nsOff, nsLen;
    std::uint32_t attrFirst, attrCount;
    std::uint32_t textOff, textLen;
    std::uint32_t innerBegin, innerEnd;
    std::uint32_t parent, firstChild, lastChild, nextSibling;
    std::uint32_t line;
    bool complete, mixed, prefixed;
  };
  struct Attr {
    std::uint32_t nameOff, nameLen;
    std::uint32_t nsOff, nsLen;
    std::uint32_t valueOff, valueLen;
  };

  struct Storage {
    std::vector<Node> nodes;
    std::vector<Attr> attrs;
    std::string pool;
    bool lent = false;
  };
  static Storage& spareStorage();
  void parse(const char* data, std::size_t size);

  std::string_view pooled(std::uint32_t off, std::uint32_t len) const {
    return std::string_view(m_pool).substr(off, len);
  }

  std::string_view m_source;
  std::vector<Node> m_nodes;
  std::vector<Attr> m_attrs;
  std::string m_pool;  // names, attribute values and text, decoded
  int m_error = 0;
  std::string m_errorMessage;
  bool m_borrowed = false;
};

}  // namespace zyl::xml
