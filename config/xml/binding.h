#pragma once

// Binding of flat records to XML: a record is described by a table of fields in document order
// (attributes of the root first, then child elements), and these functions read, write and
// check any record so described. The record classes only supply the table and where each
// field's value and set flag live.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <span>
#include <string>

#include "config/xml/reader.h"
#include "config/xml/tracker.h"
#include "config/xml/writer.h"

namespace zyl::xml {

enum class FieldType : std::uint8_t {
  Text,   // std::wstring, from the element's text with whitespace kept
  Raw,    // std::string, the element's raw inner content, markup included
  Int32,  // int, from the element's whitespace-collapsed text
};

struct FieldSpec {
  const char* name;
  FieldType type;
  bool isAttribute;  // of the root; only Text fields can be attributes
  bool required;
  const wchar_t* initialText = L"";  // of a Text field (a Raw field starts empty)
  int initialInt = 0;                // of an Int32 field
};

struct FieldSlot {
  void* value;  // std::wstring*, std::string* or int*, as the field's type says
  bool* set;
};

struct RecordBinding {
  static constexpr std::size_t kMaxFields = 16;
  const char* rootName;
  std::span<const FieldSpec> specs;
  std::array<FieldSlot, kMaxFields> slots;
};

// Reading. A document must have the binding's root in no namespace; an element given directly
// is read whatever its name. Reading stops at the first error, keeping what was read before it.
int readDocument(const Reader& reader, const RecordBinding& binding);
int readElement(const Element& element, const RecordBinding& binding);
int readBuffer(const char* data, std::size_t size, const RecordBinding& binding);
int readFile(const char* fileName, const RecordBinding& binding);
int readFile(const wchar_t* fileName, const RecordBinding& binding);

// Writing. The string, stream and file forms use the default layout: declaration, no
// indentation, no line breaks. A file that cannot be written completely is removed.
int writeRecord(Writer& writer, const char* rootName, const RecordBinding& binding);
int writeString(std::string& out, const RecordBinding& binding);
int writeStream(std::ostream& out, const RecordBinding& binding);
int writeFile(const char* fileName, const RecordBinding& binding);
int writeFile(const wchar_t* fileName, const RecordBinding& binding);

// Occurrence checking of the required text and integer fields (raw fields are left out).
bool occursOk(Tracker& tracker, const RecordBinding& binding);
bool check(Tracker& tracker, const char* itemName, const RecordBinding& binding);

const std::map<std::string, std::string>& emptyNsMap();

// A field back to its initial value with its flag clear; every field so.
void resetField(const RecordBinding& binding, std::size_t index);
void resetAll(const RecordBinding& binding);

template <class T, class V>
int setField(T& field, const V& value, bool& set) {
  field = value;
  set = true;
  return 0;
}

inline void report(int* error, int code) {
  if (error != nullptr) *error = code;
}

}  // namespace zyl::xml

// The XML members every record class has, forwarding to the functions above. `Record` must have
// a friend `Binder` whose static `bind(const Record&)` returns the record's RecordBinding.
#define ZYL_XML_RECORD_MEMBERS(Record)                                          \
  Record::Record(const zyl::xml::Reader& reader, int* error) : Record() {       \
    zyl::xml::report(error, unmarshal(reader));                                 \
  }                                                                             \
  Record::Record(const zyl::xml::Element& element, int* error) : Record() {     \
    zyl::xml::report(error, unmarshal(element));                                \
  }                                                                             \
  Record::Record(const char* fileName, int* error) : Record() {                 \
    zyl::xml::report(error, unmarshal(fileName));                               \
  }                                                                             \
  Record::Record(const wchar_t* fileName, int* error) : Record() {              \
    zyl::xml::report(error, unmarshal(fileName));                               \
  }                                                                             \
  Record::Record(const char* data, std::size_t size, int* error) : Record() {   \
    zyl::xml::report(error, unmarshal(data, size));                             \
  }                                                                             \
  Record::Record(const std::string& text, int* error) : Record() {              \
    zyl::xml::report(error, unmarshal(text));                                   \
  }                                                                             \
  int Record::unmarshal(const zyl::xml::Reader& reader) {                       \
    return zyl::xml::readDocument(reader, Binder::bind(*this));                 \
  }                                                                             \
  int Record::unmarshal(const zyl::xml::Element& element) {                     \
    return zyl::xml::readElement(element, Binder::bind(*this));                 \
  }                                                                             \
  int Record::unmarshal(const char* fileName) {                                 \
    return zyl::xml::readFile(fileName, Binder::bind(*this));                   \
  }                                                                             \
  int Record::unmarshal(const wchar_t* fileName) {                              \
    return zyl::xml::readFile(fileName, Binder::bind(*this));                   \
  }                                                                             \
  int Record::unmarshal(const char* data, std::size_t size) {                   \
    return zyl::xml::readBuffer(data, size, Binder::bind(*this));               \
  }                                                                             \
  int Record::unmarshal(const std::string& text) {                              \
    return zyl::xml::readBuffer(text.data(), text.size(), Binder::bind(*this)); \
  }                                                                             \
  int Record::marshal(const char* fileName) const {                             \
    return zyl::xml::writeFile(fileName, Binder::bind(*this));                  \
  }                                                                             \
  int Record::marshal(const wchar_t* fileName) const {                          \
    return zyl::xml::writeFile(fileName, Binder::bind(*this));                  \
  }                                                                             \
  int Record::marshal(std::string& out) const {                                 \
    return zyl::xml::writeString(out, Binder::bind(*this));                     \
  }                                                                             \
  int Record::marshal(std::ostream& out) const {                                \
    return zyl::xml::writeStream(out, Binder::bind(*this));                     \
  }                                                                             \
  int Record::marshal(zyl::xml::Writer& writer, const char* rootName) const {   \
    return zyl::xml::writeRecord(writer, rootName, Binder::bind(*this));        \
  }                                                                             \
  bool Record::check(zyl::xml::Tracker& tracker, const char* itemName) const {  \
    return zyl::xml::check(tracker, itemName, Binder::bind(*this));             \
  }                                                                             \
  bool Record::is_occurs_ok(zyl::xml::Tracker& tracker) const {                 \
    return zyl::xml::occursOk(tracker, Binder::bind(*this));                    \
  }                                                                             \
  const std::map<std::string, std::string>& Record::ns_map() {                  \
    return zyl::xml::emptyNsMap();                                              \
  }
