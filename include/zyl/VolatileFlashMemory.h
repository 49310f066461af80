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
  c_volatileFlashMemory();
  c_volatileFlashMemory(const c_volatileFlashMemory& other);
  c_volatileFlashMemory& operator=(const c_volatileFlashMemory& other);
  virtual c_volatileFlashMemory* clone() const;
  virtual ~c_volatileFlashMemory();
  void swap(c_volatileFlashMemory& other) noexcept;
  void reset();

  c_volatileFlashMemory(const zyl::xml::Reader& reader, int* error);
  c_volatileFlashMemory(const zyl::xml::Element& element, int* error);
  c_volatileFlashMemory(const char* fileName, int* error);
  c_volatileFlashMemory(const wchar_t* fileName, int* error);
  c_volatileFlashMemory(const char* data, std::size_t size, int* error);
  c_volatileFlashMemory(const std::string& text, int* error);

  int unmarshal(const zyl::xml::Reader& reader);
  int unmarshal(const zyl::xml::Element& element);
  int unmarshal(const char* fileName);
  int unmarshal(const wchar_t* fileName);
  int unmarshal(const char* data, std::size_t size);
  int unmarshal(const std::string& text);

  int marshal(const char* fileName) const;
  int marshal(const wchar_t* fileName) const;
  int marshal(std::string& out) const;
  int marshal(std::ostream& out) const;
  int marshal(zyl::xml::Writer& writer, const char* rootName) const;

  bool check(zyl::xml::Tracker& tracker, const char* itemName) const;
  bool is_occurs_ok(zyl::xml::Tracker& tracker) const;
  static const std::map<std::string, std::string>& ns_map();

  const std::wstring& get_version() const { return m_version; }
  int set_version(const std::wstring& value);
  bool isset_version() const { return m_set[kVersion]; }
  void unset_version();

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
