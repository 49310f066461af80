// Feeds arbitrary bytes to both configuration records and to the reader beneath them. Beyond
// memory safety it checks one property: whatever a record read, it writes a document that reads
// back without error into the same values.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/xml/reader.h"
#include "zyl/FlashMemory.h"
#include "zyl/VolatileFlashMemory.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

template <class Record>
void roundTrip(const char* data, std::size_t size, bool rawContentIsPortable) {
  Record record;
  record.unmarshal(data, size);
  std::string first;
  if (record.marshal(first) != 0) fail("marshal");
  // qcData is copied as source text; a prefix declared on the root does not travel with it.
  if (!rawContentIsPortable) return;
  Record back;
  if (back.unmarshal(first) != 0) fail("written document does not read back");
  std::string second;
  back.marshal(second);
  if (first != second) fail("round trip changed the record");
}

// Walks the whole tree in document order without recursion, touching everything an element
// hands out.
std::size_t walk(const zyl::xml::Reader& reader) {
  std::size_t total = reader.errorMessage().size();
  for (zyl::xml::Element e = reader.root(); e;) {
    total += e.name().size() + e.namespaceUri().size() + e.text().size() + e.rawContent().size();
    for (std::size_t i = 0; i < e.attributeCount(); ++i) {
      total += e.attributeName(i).size() + e.attributeValue(i).size();
    }
    if (zyl::xml::Element child = e.firstChild()) {
      e = child;
      continue;
    }
    while (e && !e.nextSibling()) e = e.parent();
    if (e) e = e.nextSibling();
  }
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const bool portable = std::string_view(text, size).find("xmlns") == std::string_view::npos;
  roundTrip<FlashMemory::c_flashMemory>(text, size, portable);
  roundTrip<VolatileFlashMemory::c_volatileFlashMemory>(text, size, portable);
  const zyl::xml::Reader reader(text, size);
  volatile std::size_t sink = walk(reader);
  (void)sink;
  return 0;
}
