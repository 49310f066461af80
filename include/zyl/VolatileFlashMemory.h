#pragma once

#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>

#include "zyl/XmlError.h"

namespace zyl::xml {
class Reader;
class Element;
class Writer;
class Tracker;
}  // namespace zyl::xml

namespace VolatileFlashMemory {

// The instrument's volatile document (root element "volatileFlashMemory"): the time of the last
// pump-down. Sources, destinations and results as for FlashMemory::c_flashMemory.
class c_volatileFlashMemory {
 public:
  // Initial values (those a new instrument's document holds), every set flag clear.
  c_volatileFlashMemory();
  c_volatileFlashMemory(const c_volatileFlashMemory& other);
  c_volatileFlashMemory& operator=(const c_volatileFlashMemory& other);
  virtual c_volatileFlashMemory* clone() const;
  virtual ~c_volatileFlashMemory();
  void swap(c_volatileFlashMemory& other) noexcept;
  void reset();  // back to the initial values, flags clear

  // Read from XML as `unmarshal` does; *error gets its result (the record keeps what was read).
  // The Reader, Element, Writer and Tracker forms take the library's own XML layer, which is not
  // installed: hosts use the file, buffer, string and stream forms.
  c_volatileFlashMemory(const zyl::xml::Reader& reader, int* error);
  c_volatileFlashMemory(const zyl::xml::Element& element, int* error);
  c_volatileFlashMemory(const char* fileName, int* error);
  c_volatileFlashMemory(const wchar_t* fileName, int* error);
  c_volatileFlashMemory(const char* data, std::size_t size, int* error);
  c_volatileFlashMemory(const std::string& text, int* error);

  // Reads the document into the record (fields not in it keep their values); kOk or the first
  // error. A wide file name is converted to UTF-8.
  int unmarshal(const zyl::xml::Reader& reader);
  int unmarshal(const zyl::xml::Element& element);
  int unmarshal(const char* fileName);
  int unmarshal(const wchar_t* fileName);
  int unmarshal(const char* data, std::size_t size);
  int unmarshal(const std::string& text);

  // Writes the document under "volatileFlashMemory" (the Writer form: under `rootName`); kOk or an
  // error. A file that cannot be written is removed again. The string form replaces the string's
  // content; the stream form appends to the stream.
  int marshal(const char* fileName) const;
  int marshal(const wchar_t* fileName) const;
  int marshal(std::string& out) const;
  int marshal(std::ostream& out) const;
  int marshal(zyl::xml::Writer& writer, const char* rootName) const;

  // Occurrence check: false when a required element is not set, whose name the tracker records
  // as "itemName/element" (is_occurs_ok: under the tracker's current item).
  bool check(zyl::xml::Tracker& tracker, const char* itemName) const;
  bool is_occurs_ok(zyl::xml::Tracker& tracker) const;
  static const std::map<std::string, std::string>& ns_map();  // the document's namespaces: none

  // The document's optional "version" attribute ("1.0"): get_, set_ (flag up, kOk), isset_,
  // unset_ (initial value, flag down).
  const std::wstring& get_version() const { return m_version; }
  int set_version(const std::wstring& value);
  bool isset_version() const { return m_set[kVersion]; }
  void unset_version();

  // The last pump-down time as the host stored it (the library never interprets it); required.
  int get_lastPumpDownTime() const { return m_lastPumpDownTime; }
  int set_lastPumpDownTime(int value);

 private:
  enum Field { kVersion, kLastPumpDownTime, kFieldCount };
  friend struct Binder;

  void init();

  std::wstring m_version;
  int m_lastPumpDownTime;
  bool m_set[kFieldCount];
};

}  // namespace VolatileFlashMemory
