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

namespace FlashMemory {

// The instrument's configuration document (root element "flashMemory"). Every field holds a
// value and a set flag; setters and values read from XML raise the flag. Text values are wide,
// except qcData, which is the element's raw XML content in UTF-8.
//
// Sources and destinations: a file name (narrow, or wide and converted to UTF-8), a memory buffer
// (pointer and length; reading stops at the first zero byte), the content of a std::string, a
// reader over a whole document, or an element captured from a reader (the record is then read
// from that element whatever its name). Results are zyl::xml::ErrorCode values.
class c_flashMemory {
 public:
  // Initial values (those a new instrument's document holds), every set flag clear.
  c_flashMemory();
  c_flashMemory(const c_flashMemory& other);
  c_flashMemory& operator=(const c_flashMemory& other);
  virtual c_flashMemory* clone() const;
  virtual ~c_flashMemory();
  void swap(c_flashMemory& other) noexcept;
  void reset();  // back to the initial values, flags clear

  // Read from XML as `unmarshal` does; *error gets its result (the record keeps what was read).
  // The Reader, Element, Writer and Tracker forms take the library's own XML layer, which is not
  // installed: hosts use the file, buffer, string and stream forms.
  c_flashMemory(const zyl::xml::Reader& reader, int* error);
  c_flashMemory(const zyl::xml::Element& element, int* error);
  c_flashMemory(const char* fileName, int* error);
  c_flashMemory(const wchar_t* fileName, int* error);
  c_flashMemory(const char* data, std::size_t size, int* error);
  c_flashMemory(const std::string& text, int* error);

  // Reads the document into the record (fields not in it keep their values); kOk or the first
  // error. A wide file name is converted to UTF-8.
  int unmarshal(const zyl::xml::Reader& reader);
  int unmarshal(const zyl::xml::Element& element);
  int unmarshal(const char* fileName);
  int unmarshal(const wchar_t* fileName);
  int unmarshal(const char* data, std::size_t size);
  int unmarshal(const std::string& text);

  // Writes the document under "flashMemory" (the Writer form: under `rootName`); kOk or an error.
  // A file that cannot be written is removed again. The string form replaces the string's
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

  // Field access: get_ the value, set_ stores it and raises its flag (kOk); for the optional
  // fields isset_ tells whether the flag is up and unset_ restores the initial value, flag down.
  // The document's "version" attribute ("1.0").
  const std::wstring& get_version() const { return m_version; }
  int set_version(const std::wstring& value);
  bool isset_version() const { return m_set[kVersion]; }
  void unset_version();

  // Required elements: hardware version, frequency factor and mass potentiometer (hexadecimal
  // text), supply and heater-controller models (their display texts), serial number, and the QC
  // data (raw XML content, UTF-8).
  const std::wstring& get_hardwareVersion() const { return m_hardwareVersion; }
  int set_hardwareVersion(const std::wstring& value);
  const std::wstring& get_frequency() const { return m_frequency; }
  int set_frequency(const std::wstring& value);
  const std::wstring& get_massPot() const { return m_massPot; }
  int set_massPot(const std::wstring& value);
  const std::wstring& get_sourcePSU() const { return m_sourcePSU; }
  int set_sourcePSU(const std::wstring& value);
  const std::wstring& get_lensPSU() const { return m_lensPSU; }
  int set_lensPSU(const std::wstring& value);
  const std::wstring& get_dynodePSU() const { return m_dynodePSU; }
  int set_dynodePSU(const std::wstring& value);
  const std::wstring& get_capillaryHeater() const { return m_capillaryHeater; }
  int set_capillaryHeater(const std::wstring& value);
  const std::wstring& get_desolvationGasHeater() const { return m_desolvationGasHeater; }
  int set_desolvationGasHeater(const std::wstring& value);
  const std::wstring& get_apciGasHeater() const { return m_apciGasHeater; }
  int set_apciGasHeater(const std::wstring& value);
  const std::wstring& get_serialNumber() const { return m_serialNumber; }
  int set_serialNumber(const std::wstring& value);
  const std::string& get_qcData() const { return m_qcData; }
  int set_qcData(const std::string& value);

  // Optional elements: gauge, housing, head-amplifier and RF-box models (their stored texts).
  const std::wstring& get_piraniType() const { return m_piraniType; }
  int set_piraniType(const std::wstring& value);
  bool isset_piraniType() const { return m_set[kPiraniType]; }
  void unset_piraniType();
  const std::wstring& get_housingType() const { return m_housingType; }
  int set_housingType(const std::wstring& value);
  bool isset_housingType() const { return m_set[kHousingType]; }
  void unset_housingType();
  const std::wstring& get_headAmpType() const { return m_headAmpType; }
  int set_headAmpType(const std::wstring& value);
  bool isset_headAmpType() const { return m_set[kHeadAmpType]; }
  void unset_headAmpType();
  const std::wstring& get_rfBoxType() const { return m_rfBoxType; }
  int set_rfBoxType(const std::wstring& value);
  bool isset_rfBoxType() const { return m_set[kRfBoxType]; }
  void unset_rfBoxType();

 private:
  // Field numbers in document order; they index the set flags.
  enum Field {
    kVersion,
    kHardwareVersion,
    kFrequency,
    kMassPot,
    kSourcePSU,
    kLensPSU,
    kDynodePSU,
    kCapillaryHeater,
    kDesolvationGasHeater,
    kApciGasHeater,
    kSerialNumber,
    kQcData,
    kPiraniType,
    kHousingType,
    kHeadAmpType,
    kRfBoxType,
    kFieldCount
  };
  friend struct Binder;

  void init();

  std::wstring m_version;
  std::wstring m_hardwareVersion;
  std::wstring m_frequency;
  std::wstring m_massPot;
  std::wstring m_sourcePSU;
  std::wstring m_lensPSU;
  std::wstring m_dynodePSU;
  std::wstring m_capillaryHeater;
  std::wstring m_desolvationGasHeater;
  std::wstring m_apciGasHeater;
  std::wstring m_serialNumber;
  std::string m_qcData;
  std::wstring m_piraniType;
  std::wstring m_housingType;
  std::wstring m_headAmpType;
  std::wstring m_rfBoxType;
  bool m_set[kFieldCount];
};

}  // namespace FlashMemory
