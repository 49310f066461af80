#include "config/xml/reader.h"

#include <expat.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>

#include "config/xml/text.h"
#include "zyl/XmlError.h"

namespace zyl::xml {

namespace {

constexpr XML_Char kNsSeparator = '|';

// Expat allocates its parser, buffers and tables through these functions. During one parse they
// come from a per-thread bump arena that is emptied when the parser is freed, so a document of
// ordinary size is read without touching the heap; what does not fit goes to malloc.
class ParseArena {
 public:
  static constexpr std::size_t kSize = 64 * 1024;

  void* allocate(std::size_t n) {
    if (n <= kSize) {
      const std::size_t rounded = roundUp(n);
      if (sizeof(Header) + rounded <= kSize - m_used) {
        auto* header = reinterpret_cast<Header*>(m_buffer + m_used);
        *header = {rounded, false};
        m_used += sizeof(Header) + rounded;
        m_last = header + 1;
        return m_last;
      }
    }
    if (n > SIZE_MAX - sizeof(Header)) return nullptr;
    auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + n));
    if (header == nullptr) return nullptr;
    *header = {n, true};
    return header + 1;
  }

  void* reallocate(void* p, std::size_t n) {
    if (p == nullptr) return allocate(n);
    Header* header = headerOf(p);
    if (header->onHeap) {
      if (n > SIZE_MAX - sizeof(Header)) return nullptr;
      auto* grown = static_cast<Header*>(std::realloc(header, sizeof(Header) + n));
      if (grown == nullptr) return nullptr;
      grown->size = n;
      return grown + 1;
    }
    if (n <= header->size) return p;
    // The newest block can grow in place, which is how expat's buffers usually grow.
    const auto offset = static_cast<std::size_t>(static_cast<unsigned char*>(p) - m_buffer);
    if (p == m_last && n <= kSize && roundUp(n) <= kSize - offset) {
      header->size = roundUp(n);
      m_used = offset + header->size;
      return p;
    }
    void* moved = allocate(n);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, p, header->size);
    release(p);
    return moved;
  }

  void release(void* p) {
    if (p == nullptr) return;
    Header* header = headerOf(p);
    if (header->onHeap) {
      std::free(header);
    } else if (p == m_last) {
      m_used = static_cast<std::size_t>(reinterpret_cast<unsigned char*>(header) - m_buffer);
      m_last = nullptr;
    }
  }

  void clear() {
    m_used = 0;
    m_last = nullptr;
  }

 private:
  struct alignas(std::max_align_t) Header {
    std::size_t size;
    bool onHeap;
  };
  static std::size_t roundUp(std::size_t n) {
    return (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  }
  static Header* headerOf(void* p) { return static_cast<Header*>(p) - 1; }

  alignas(std::max_align_t) unsigned char m_buffer[kSize];
  std::size_t m_used = 0;
  void* m_last = nullptr;
};

unsigned long makeSalt() noexcept {
  try {
    return std::random_device()() | 1u;
  } catch (...) {
    return static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

// The arena the memory functions use; set for the length of one parse.
thread_local ParseArena* t_arena = nullptr;

void* arenaMalloc(std::size_t n) {
  return t_arena->allocate(n);
}
void* arenaRealloc(void* p, std::size_t n) {
  return t_arena->reallocate(p, n);
}
void arenaFree(void* p) {
  t_arena->release(p);
}
const XML_Memory_Handling_Suite kArenaSuite = {arenaMalloc, arenaRealloc, arenaFree};

// One expat parser for one parse, on this thread's arena. The arena itself is allocated once per
// thread; should a parse ever begin while another is under way on the same thread, it gets an
// arena of its own.
class ParserLease {
 public:
  ParserLease() : m_outer(t_arena) {
    thread_local std::unique_ptr<ParseArena> threadArena;
    thread_local bool threadArenaBusy = false;
    if (!threadArenaBusy) {
      if (!threadArena) threadArena = std::make_unique<ParseArena>();
      threadArenaBusy = true;
      m_busyFlag = &threadArenaBusy;
      t_arena = threadArena.get();
    } else {
      m_ownArena = std::make_unique<ParseArena>();
      t_arena = m_ownArena.get();
    }
    m_parser = XML_ParserCreate_MM("UTF-8", &kArenaSuite, &kNsSeparator);
    // A salt of our own spares expat a call for entropy on every document.
    thread_local const unsigned long salt = makeSalt();
    if (m_parser != nullptr) XML_SetHashSalt(m_parser, salt);
  }
  ~ParserLease() {
    if (m_parser != nullptr) XML_ParserFree(m_parser);
    t_arena->clear();
    if (m_busyFlag != nullptr) *m_busyFlag = false;
    t_arena = m_outer;
  }
  ParserLease(const ParserLease&) = delete;
  ParserLease& operator=(const ParserLease&) = delete;
  XML_Parser get() const { return m_parser; }

 private:
  ParseArena* m_outer;
  std::unique_ptr<ParseArena> m_ownArena;
  bool* m_busyFlag = nullptr;
  XML_Parser m_parser = nullptr;
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
  bool outOfMemory = false;
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
    // The name as the tag writes it: expat hands over only the resolved one.
    const std::string_view tag =
        at >= 0 ? r.m_source.substr(static_cast<std::size_t>(at)) : std::string_view();
    const std::string_view written = tag.substr(0, tag.find_first_of(" \t\r\n/>"));
    node.prefixed = written.find(':') != std::string_view::npos;

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

Reader::Storage& Reader::spareStorage() {
  thread_local Storage spare;
  return spare;
}

Reader::Reader(const char* data, std::size_t size) {
  // The tree's containers are borrowed from this thread's spare set, which keeps the capacity
  // of the previous document: reading the same kind of document again allocates nothing.
  Storage& spare = spareStorage();
  if (!spare.lent) {
    m_nodes.swap(spare.nodes);
    m_attrs.swap(spare.attrs);
    m_pool.swap(spare.pool);
    spare.lent = true;
    m_borrowed = true;
  }
  try {
    parse(data, size);
  } catch (...) {
    m_error = kNoMemory;
    m_errorMessage.clear();
  }
}

Reader::~Reader() {
  if (!m_borrowed) return;
  Storage& spare = spareStorage();
  // A huge document's capacity is not worth keeping for the thread's lifetime.
  constexpr std::size_t kKeep = 1 << 20;
  if (m_pool.capacity() <= kKeep && m_nodes.capacity() * sizeof(Node) <= kKeep &&
      m_attrs.capacity() * sizeof(Attr) <= kKeep) {
    m_nodes.clear();
    m_attrs.clear();
    m_pool.clear();
    spare.nodes.swap(m_nodes);
    spare.attrs.swap(m_attrs);
    spare.pool.swap(m_pool);
  }
  spare.lent = false;
}

void Reader::parse(const char* data, std::size_t size) {
  if (data == nullptr) size = 0;
  if (size > 0) {
    if (const void* zero = std::memchr(data, 0, size)) {
      size = static_cast<std::size_t>(static_cast<const char*>(zero) - data);
    }
  }
  m_source = std::string_view(data == nullptr ? "" : data, size);

  if (size > static_cast<std::size_t>(INT_MAX)) {
    m_error = kMalformed;
    m_errorMessage = "document too large";
    return;
  }
  ParserLease lease;
  if (lease.get() == nullptr) {
    m_error = kNoMemory;
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
  const XML_Error code = XML_GetErrorCode(parser);
  if (builder.outOfMemory || code == XML_ERROR_NO_MEMORY) {
    m_error = kNoMemory;
    return;
  }
  m_error = kMalformed;
  if (builder.doctype) {
    m_errorMessage = "document type declarations are not accepted";
  } else if (builder.tooLarge) {
    m_errorMessage = "document too large";
  } else {
    m_errorMessage = XML_ErrorString(code);
  }
  m_errorMessage += " at line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
                    std::to_string(XML_GetCurrentColumnNumber(parser));
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

bool Element::prefixed() const {
  return m_reader->m_nodes[m_index].prefixed;
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
