#include "zyl/FlashMemory.h"

#include <algorithm>
#include <utility>

#include "config/xml/Binding.h"

namespace FlashMemory {

namespace {

using zyl::xml::FieldSpec;
using zyl::xml::FieldType;

// Document order; the index of each entry is its c_flashMemory::Field number.
constexpr FieldSpec kFields[] = {
    {"version", FieldType::Text, true, false},
    {"hardwareVersion", FieldType::Text, false, true},
    {"frequency", FieldType::Text, false, true},
    {"massPot", FieldType::Text, false, true},
    {"sourcePSU", FieldType::Text, false, true},
    {"lensPSU", FieldType::Text, false, true},
    {"dynodePSU", FieldType::Text, false, true},
    {"capillaryHeater", FieldType::Text, false, true},
    {"desolvationGasHeater", FieldType::Text, false, true},
    {"apciGasHeater", FieldType::Text, false, true},
    {"serialNumber", FieldType::Text, false, true},
    {"qcData", FieldType::Raw, false, true},
    {"piraniType", FieldType::Text, false, false},
    {"housingType", FieldType::Text, false, false},
    {"headAmpType", FieldType::Text, false, false},
    {"rfBoxType", FieldType::Text, false, false},
};

}  // namespace

struct Binder {
  static_assert(std::size(kFields) == c_flashMemory::kFieldCount);

  // Writing goes through the same slots as reading and only reads them.
  static zyl::xml::RecordBinding bind(const c_flashMemory& record) {
    auto& r = const_cast<c_flashMemory&>(record);
    void* const values[] = {&r.m_version,       &r.m_hardwareVersion, &r.m_frequency,
                            &r.m_massPot,       &r.m_sourcePSU,       &r.m_lensPSU,
                            &r.m_dynodePSU,     &r.m_capillaryHeater, &r.m_desolvationGasHeater,
                            &r.m_apciGasHeater, &r.m_serialNumber,    &r.m_qcData,
                            &r.m_piraniType,    &r.m_housingType,     &r.m_headAmpType,
                            &r.m_rfBoxType};
    zyl::xml::RecordBinding binding{"flashMemory", kFields, {}};
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
      binding.slots[i] = {values[i], &r.m_set[i]};
    }
    return binding;
  }
};

c_flashMemory::c_flashMemory() {
  init();
}

void c_flashMemory::init() {
  m_version = L"1.0";
  m_hardwareVersion = L"Beta";
  m_frequency = L"00015000";
  m_massPot = L"7F";
  m_sourcePSU = L"Spellman MX8PN24/720";
  m_lensPSU = L"Applied MS009MZZ652";
  m_dynodePSU = L"Spellman MXP10PN/15";
  m_capillaryHeater = L"Watlow PM3 Series";
  m_desolvationGasHeater = L"Watlow PM3 Series";
  m_apciGasHeater = L"Watlow PM3 Series";
  m_serialNumber.clear();
  m_qcData.clear();
  m_piraniType = L"External";
  m_housingType = L"Generation 1";
  m_headAmpType = L"Slow Amp";
  m_rfBoxType = L"Original";
  std::fill(std::begin(m_set), std::end(m_set), false);
}

c_flashMemory::c_flashMemory(const c_flashMemory& other) = default;
c_flashMemory& c_flashMemory::operator=(const c_flashMemory& other) = default;
c_flashMemory::~c_flashMemory() = default;

c_flashMemory* c_flashMemory::clone() const {
  return new c_flashMemory(*this);
}

void c_flashMemory::swap(c_flashMemory& other) noexcept {
  using std::swap;
  swap(m_version, other.m_version);
  swap(m_hardwareVersion, other.m_hardwareVersion);
  swap(m_frequency, other.m_frequency);
  swap(m_massPot, other.m_massPot);
  swap(m_sourcePSU, other.m_sourcePSU);
  swap(m_lensPSU, other.m_lensPSU);
  swap(m_dynodePSU, other.m_dynodePSU);
  swap(m_capillaryHeater, other.m_capillaryHeater);
  swap(m_desolvationGasHeater, other.m_desolvationGasHeater);
  swap(m_apciGasHeater, other.m_apciGasHeater);
  swap(m_serialNumber, other.m_serialNumber);
  swap(m_qcData, other.m_qcData);
  swap(m_piraniType, other.m_piraniType);
  swap(m_housingType, other.m_housingType);
  swap(m_headAmpType, other.m_headAmpType);
  swap(m_rfBoxType, other.m_rfBoxType);
  swap(m_set, other.m_set);
}

// The same as swapping with a fresh record, but assigning in place keeps the strings' storage,
// so reloading a record allocates nothing.
void c_flashMemory::reset() {
  init();
}

ZYL_XML_RECORD_MEMBERS(c_flashMemory)

int c_flashMemory::set_version(const std::wstring& value) {
  m_version = value;
  m_set[kVersion] = true;
  return 0;
}

int c_flashMemory::set_hardwareVersion(const std::wstring& value) {
  m_hardwareVersion = value;
  m_set[kHardwareVersion] = true;
  return 0;
}

int c_flashMemory::set_frequency(const std::wstring& value) {
  m_frequency = value;
  m_set[kFrequency] = true;
  return 0;
}

int c_flashMemory::set_massPot(const std::wstring& value) {
  m_massPot = value;
  m_set[kMassPot] = true;
  return 0;
}

int c_flashMemory::set_sourcePSU(const std::wstring& value) {
  m_sourcePSU = value;
  m_set[kSourcePSU] = true;
  return 0;
}

int c_flashMemory::set_lensPSU(const std::wstring& value) {
  m_lensPSU = value;
  m_set[kLensPSU] = true;
  return 0;
}

int c_flashMemory::set_dynodePSU(const std::wstring& value) {
  m_dynodePSU = value;
  m_set[kDynodePSU] = true;
  return 0;
}

int c_flashMemory::set_capillaryHeater(const std::wstring& value) {
  m_capillaryHeater = value;
  m_set[kCapillaryHeater] = true;
  return 0;
}

int c_flashMemory::set_desolvationGasHeater(const std::wstring& value) {
  m_desolvationGasHeater = value;
  m_set[kDesolvationGasHeater] = true;
  return 0;
}

int c_flashMemory::set_apciGasHeater(const std::wstring& value) {
  m_apciGasHeater = value;
  m_set[kApciGasHeater] = true;
  return 0;
}

int c_flashMemory::set_serialNumber(const std::wstring& value) {
  m_serialNumber = value;
  m_set[kSerialNumber] = true;
  return 0;
}

int c_flashMemory::set_qcData(const std::string& value) {
  m_qcData = value;
  m_set[kQcData] = true;
  return 0;
}

int c_flashMemory::set_piraniType(const std::wstring& value) {
  m_piraniType = value;
  m_set[kPiraniType] = true;
  return 0;
}

int c_flashMemory::set_housingType(const std::wstring& value) {
  m_housingType = value;
  m_set[kHousingType] = true;
  return 0;
}

int c_flashMemory::set_headAmpType(const std::wstring& value) {
  m_headAmpType = value;
  m_set[kHeadAmpType] = true;
  return 0;
}

int c_flashMemory::set_rfBoxType(const std::wstring& value) {
  m_rfBoxType = value;
  m_set[kRfBoxType] = true;
  return 0;
}

void c_flashMemory::unset_version() {
  m_version = L"1.0";
  m_set[kVersion] = false;
}

void c_flashMemory::unset_piraniType() {
  m_piraniType = L"External";
  m_set[kPiraniType] = false;
}

void c_flashMemory::unset_housingType() {
  m_housingType = L"Generation 1";
  m_set[kHousingType] = false;
}

void c_flashMemory::unset_headAmpType() {
  m_headAmpType = L"Slow Amp";
  m_set[kHeadAmpType] = false;
}

void c_flashMemory::unset_rfBoxType() {
  m_rfBoxType = L"Original";
  m_set[kRfBoxType] = false;
}

}  // namespace FlashMemory
