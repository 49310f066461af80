#include "config/xml/Reader.h"

#include <expat.h>

#include <climits>
#include <cstring>
#include <unordered_map>

#include "config/xml/Text.h"
#include "zyl/XmlError.h"

namespace zyl::xml {

namespace {

constexpr XML_Char kNsSeparator = '|';

// Creating an expat parser costs a dozen allocations; one parser per thread, reset between
// documents, keeps its buffers. A Reader never parses from inside another Reader's callbacks,
// but `busy` keeps that safe should it ever happen.
struct ParserCache {
  XML_Parser parser = nullptr;
  bool busy = false;
  ~ParserCache() {
    if (parser != nullptr) XML_ParserFree(parser);
  }
};
thread_local ParserCache t_parserCache;

class ParserLease {
 public:
  ParserLease() {
    ParserCache& cache = t_parserCache;
    if (cache.parser != nullptr && !cache.busy && XML_ParserReset(cache.parser, "UTF-8")) {
      m_parser = cache.parser;
      cache.busy = true;
      m_cached = true;
      return;
    }
    m_parser = XML_ParserCreateNS("UTF-8", kNsSeparator);
    if (m_parser != nullptr && cache.parser == nullptr) {
      cache.parser = m_parser;
      cache.busy = true;
      m_cached = true;
    }
  }
  ~ParserLease() {
    if (m_cached) {
      t_parserCache.busy = false;
    } else if (m_parser != nullptr) {
      XML_ParserFree(m_parser);
    }
  }
  ParserLease(const ParserLease&) = delete;
  ParserLease& operator=(const ParserLease&) = delete;
  XML_Parser get() const { return m_parser; }

 private:
  XML_Parser m_parser = nullptr;
  bool m_cached = false;
};

}  // namespace

// Builds the Reader's tree from expat's callbacks.
struct ReaderBuilder {
  ReaderBuilder(Reader& reader, XML_Parser p) : r(reader), parser(p) {}

  Reader& r;
  XML_Parser parser;
  std::uint32_t current = Reader::kNone;
  bool doctype = false;
  bool tooLarge = false;
  // Namespace URIs are stored once each: expat repeats the URI with every name, and a long URI
  // on many short elements must not multiply the memory a document takes.
  std::unordered_map<std::string, std::uint32_t> uris;

  std::uint32_t poolSize() const { return static_cast<std::uint32_t>(r.m_pool.size()); }

  bool fits(std::size_t more) {
    if (r.m_pool.size() + more >= UINT32_MAX) tooLarge = true;
    return !tooLarge;
  }

  // Splits expat's "uri|local" (or "local") and stores both parts.
  void storeName(const XML_Char* qualified, std::uint32_t& nameOff, std::uint32_t& nameLen,
                 std::uint32_t& nsOff, std::uint32_t& nsLen) {
    std::string_view full(qualified);
    std::string_view local = full;
    std::string_view uri;
    if (const auto bar = full.rfind(kNsSeparator); bar != std::string_view::npos) {
      uri = full.substr(0, bar);
      local = full.substr(bar + 1);
    }
    nsOff = 0, nsLen = 0;
    if (!uri.empty()) {
      auto [it, added] = uris.try_emplace(std::string(uri), poolSize());
      if (added) {
        if (!fits(uri.size())) return;
        r.m_pool.append(uri);
      }
      nsOff = it->second;
      nsLen = static_cast<std::uint32_t>(uri.size());
    }
    if (!fits(local.size())) return;
    nameOff = poolSize();
    nameLen = static_cast<std::uint32_t>(local.size());
    r.m_pool.append(local);
  }

  void stop() { XML_StopParser(parser, XML_FALSE); }

  void start(const XML_Char* name, const XML_Char** attributes) {
    if (r.m_nodes.size() >= Reader::kNone - 1) {
      tooLarge = true;
      return stop();
    }
    if (current != Reader::kNone) {
      Reader::Node& parent = r.m_nodes[current];
      if (parent.firstChild == Reader::kNone && parent.textLen > 0) {
        // Text before the first child is either indentation or mixed content; neither is the
        // element's value, and being last in the pool it can be given back.
        if (!isAllXmlSpace(r.pooled(parent.textOff, parent.textLen))) parent.mixed = true;
        if (parent.textOff + parent.textLen == r.m_pool.size()) r.m_pool.resize(parent.textOff);
        parent.textLen = 0;
      }
    }

    const auto index = static_cast<std::uint32_t>(r.m_nodes.size());
    Reader::Node node{};
    const XML_Index at = XML_GetCurrentByteIndex(parser);
    node.innerBegin = static_cast<std::uint32_t>(at + XML_GetCurrentByteCount(parser));
    node.innerEnd = node.innerBegin;
    node.line = static_cast<std::uint32_t>(XML_GetCurrentLineNumber(parser));
    node.parent = current;
    node.firstChild = node.lastChild = node.nextSibling = Reader::kNone;
    storeName(name, node.nameOff, node.nameLen, node.nsOff, node.nsLen);

    node.attrFirst = static_cast<std::uint32_t>(r.m_attrs.size());
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      Reader::Attr attr{};
      storeName(a[0], attr.nameOff, attr.nameLen, attr.nsOff, attr.nsLen);
      const std::size_t length = std::strlen(a[1]);
      if (!fits(length)) break;
      attr.valueOff = poolSize();
      attr.valueLen = static_cast<std::uint32_t>(length);
      r.m_pool.append(a[1], length);
      r.m_attrs.push_back(attr);
      ++node.attrCount;
    }
    if (tooLarge) return stop();

    r.m_nodes.push_back(node);
    if (current != Reader::kNone) {
      Reader::Node& parent = r.m_nodes[current];
      if (parent.firstChild == Reader::kNone) {
        parent.firstChild = index;
      } else {
        r.m_nodes[parent.lastChild].nextSibling = index;
      }
      parent.lastChild = index;
    }
    current = index;
  }

  void end() {
    if (current == Reader::kNone) return;
    Reader::Node& node = r.m_nodes[current];
    // An empty-element tag ("<a/>") has an end event of no bytes of its own.
    if (XML_GetCurrentByteCount(parser) > 0) {
      node.innerEnd = static_cast<std::uint32_t>(XML_GetCurrentByteIndex(parser));
    }
    node.complete = true;
    current = node.parent;
  }

  void characters(const XML_Char* s, int length) {
    if (current == Reader::kNone || length <= 0) return;
    Reader::Node& node = r.m_nodes[current];
    const std::string_view piece(s, static_cast<std::size_t>(length));
    if (node.firstChild != Reader::kNone) {
      if (!isAllXmlSpace(piece)) node.mixed = true;
      return;
    }
    if (!fits(piece.size())) return stop();
    // Nothing else is pooled between pieces of an element that has no children yet, so its
    // text stays one contiguous run.
    if (node.textLen == 0) node.textOff = poolSize();
    r.m_pool.append(piece);
    node.textLen += static_cast<std::uint32_t>(piece.size());
  }

  static ReaderBuilder& self(void* userData) { return *static_cast<ReaderBuilder*>(userData); }
  static void XMLCALL onStart(void* ud, const XML_Char* name, const XML_Char** attributes) {
    self(ud).start(name, attributes);
  }
  static void XMLCALL onEnd(void* ud, const XML_Char*) { self(ud).end(); }
  static void XMLCALL onCharacters(void* ud, const XML_Char* s, int length) {
    self(ud).characters(s, length);
  }
  static void XMLCALL onDoctype(void* ud, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    self(ud).doctype = true;
    self(ud).stop();
  }
};

Reader::Reader(const char* data, std::size_t size) {
  if (data == nullptr) size = 0;
  if (size > 0) {
    if (const void* zero = std::memchr(data, 0, size)) {
      size = static_cast<std::size_t>(static_cast<const char*>(zero) - data);
    }
  }
  m_source = std::string_view(data == nullptr ? "" : data, size);

  auto fail = [this](std::string message) {
    m_error = kMalformed;
    m_errorMessage = std::move(message);
  };
  if (size > static_cast<std::size_t>(INT_MAX)) {
    fail("document too large");
    return;
  }

  ParserLease lease;
  if (lease.get() == nullptr) {
    fail("out of memory");
    return;
  }
  const XML_Parser parser = lease.get();

  m_nodes.reserve(24);
  m_pool.reserve(size);
  ReaderBuilder builder(*this, parser);
  XML_SetUserData(parser, &builder);
  XML_SetElementHandler(parser, ReaderBuilder::onStart, ReaderBuilder::onEnd);
  XML_SetCharacterDataHandler(parser, ReaderBuilder::onCharacters);
  XML_SetStartDoctypeDeclHandler(parser, ReaderBuilder::onDoctype);

  if (XML_Parse(parser, m_source.data(), static_cast<int>(size), XML_TRUE) == XML_STATUS_OK) {
    return;
  }
  std::string message;
  if (builder.doctype) {
    message = "document type declarations are not accepted";
  } else if (builder.tooLarge) {
    message = "document too large";
  } else {
    message = XML_ErrorString(XML_GetErrorCode(parser));
  }
  message += " at line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
             std::to_string(XML_GetCurrentColumnNumber(parser));
  fail(std::move(message));
}

std::string_view Element::name() const {
  const auto& n = m_reader->m_nodes[m_index];
  return m_reader->pooled(n.nameOff, n.nameLen);
}

std::string_view Element::namespaceUri() const {
  const auto& n = m_reader->m_nodes[m_index];
  return m_reader->pooled(n.nsOff, n.nsLen);
}

bool Element::complete() const {
  return m_reader->m_nodes[m_index].complete;
}

bool Element::attribute(std::string_view localName, std::string_view& value) const {
  const auto& n = m_reader->m_nodes[m_index];
  for (std::uint32_t i = 0; i < n.attrCount; ++i) {
    const auto& a = m_reader->m_attrs[n.attrFirst + i];
    if (a.nsLen == 0 && m_reader->pooled(a.nameOff, a.nameLen) == localName) {
      value = m_reader->pooled(a.valueOff, a.valueLen);
      return true;
    }
  }
  return false;
}

std::size_t Element::attributeCount() const {
  return m_reader->m_nodes[m_index].attrCount;
}

std::string_view Element::attributeName(std::size_t index) const {
  const auto& a = m_reader->m_attrs[m_reader->m_nodes[m_index].attrFirst + index];
  return m_reader->pooled(a.nameOff, a.nameLen);
}

std::string_view Element::attributeNamespaceUri(std::size_t index) const {
  const auto& a = m_reader->m_attrs[m_reader->m_nodes[m_index].attrFirst + index];
  return m_reader->pooled(a.nsOff, a.nsLen);
}

std::string_view Element::attributeValue(std::size_t index) const {
  const auto& a = m_reader->m_attrs[m_reader->m_nodes[m_index].attrFirst + index];
  return m_reader->pooled(a.valueOff, a.valueLen);
}

std::string_view Element::text() const {
  const auto& n = m_reader->m_nodes[m_index];
  return m_reader->pooled(n.textOff, n.textLen);
}

bool Element::hasChildren() const {
  return m_reader->m_nodes[m_index].firstChild != Reader::kNone;
}

bool Element::hasMixedText() const {
  return m_reader->m_nodes[m_index].mixed;
}

std::string_view Element::rawContent() const {
  const auto& n = m_reader->m_nodes[m_index];
  if (!n.complete || n.innerEnd < n.innerBegin) return {};
  return m_reader->m_source.substr(n.innerBegin, n.innerEnd - n.innerBegin);
}

Element Element::firstChild() const {
  const auto child = m_reader->m_nodes[m_index].firstChild;
  return child == Reader::kNone ? Element() : Element(m_reader, child);
}

Element Element::nextSibling() const {
  const auto next = m_reader->m_nodes[m_index].nextSibling;
  return next == Reader::kNone ? Element() : Element(m_reader, next);
}

Element Element::parent() const {
  const auto up = m_reader->m_nodes[m_index].parent;
  return up == Reader::kNone ? Element() : Element(m_reader, up);
}

unsigned Element::line() const {
  return m_reader->m_nodes[m_index].line;
}

}  // namespace zyl::xml
