#include "zyl/FlashMemory.h"

#include <utility>

#include "config/xml/binding.h"

namespace FlashMemory {

namespace {

using zyl::xml::FieldSpec;
using zyl::xml::FieldType;

// Document order; the index of each entry is its c_flashMemory::Field number.
constexpr FieldSpec kFields[] = {
    {"version", FieldType::Text, true, false, L"1.0"},
    {"hardwareVersion", FieldType::Text, false, true, L"Beta"},
    {"frequency", FieldType::Text, false, true, L"00015000"},
    {"massPot", FieldType::Text, false, true, L"7F"},
    {"sourcePSU", FieldType::Text, false, true, L"Spellman MX8PN24/720"},
    {"lensPSU", FieldType::Text, false, true, L"Applied MS009MZZ652"},
    {"dynodePSU", FieldType::Text, false, true, L"Spellman MXP10PN/15"},
    {"capillaryHeater", FieldType::Text, false, true, L"Watlow PM3 Series"},
    {"desolvationGasHeater", FieldType::Text, false, true, L"Watlow PM3 Series"},
    {"apciGasHeater", FieldType::Text, false, true, L"Watlow PM3 Series"},
    {"serialNumber", FieldType::Text, false, true, L""},
    {"qcData", FieldType::Raw, false, true},
    {"piraniType", FieldType::Text, false, false, L"External"},
    {"housingType", FieldType::Text, false, false, L"Generation 1"},
    {"headAmpType", FieldType::Text, false, false, L"Slow Amp"},
    {"rfBoxType", FieldType::Text, false, false, L"Original"},
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
  zyl::xml::resetAll(Binder::bind(*this));
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
  return zyl::xml::setField(m_version, value, m_set[kVersion]);
}

int c_flashMemory::set_hardwareVersion(const std::wstring& value) {
  return zyl::xml::setField(m_hardwareVersion, value, m_set[kHardwareVersion]);
}

int c_flashMemory::set_frequency(const std::wstring& value) {
  return zyl::xml::setField(m_frequency, value, m_set[kFrequency]);
}

int c_flashMemory::set_massPot(const std::wstring& value) {
  return zyl::xml::setField(m_massPot, value, m_set[kMassPot]);
}

int c_flashMemory::set_sourcePSU(const std::wstring& value) {
  return zyl::xml::setField(m_sourcePSU, value, m_set[kSourcePSU]);
}

int c_flashMemory::set_lensPSU(const std::wstring& value) {
  return zyl::xml::setField(m_lensPSU, value, m_set[kLensPSU]);
}

int c_flashMemory::set_dynodePSU(const std::wstring& value) {
  return zyl::xml::setField(m_dynodePSU, value, m_set[kDynodePSU]);
}

int c_flashMemory::set_capillaryHeater(const std::wstring& value) {
  return zyl::xml::setField(m_capillaryHeater, value, m_set[kCapillaryHeater]);
}

int c_flashMemory::set_desolvationGasHeater(const std::wstring& value) {
  return zyl::xml::setField(m_desolvationGasHeater, value, m_set[kDesolvationGasHeater]);
}

int c_flashMemory::set_apciGasHeater(const std::wstring& value) {
  return zyl::xml::setField(m_apciGasHeater, value, m_set[kApciGasHeater]);
}

int c_flashMemory::set_serialNumber(const std::wstring& value) {
  return zyl::xml::setField(m_serialNumber, value, m_set[kSerialNumber]);
}

int c_flashMemory::set_qcData(const std::string& value) {
  return zyl::xml::setField(m_qcData, value, m_set[kQcData]);
}

int c_flashMemory::set_piraniType(const std::wstring& value) {
  return zyl::xml::setField(m_piraniType, value, m_set[kPiraniType]);
}

int c_flashMemory::set_housingType(const std::wstring& value) {
  return zyl::xml::setField(m_housingType, value, m_set[kHousingType]);
}

int c_flashMemory::set_headAmpType(const std::wstring& value) {
  return zyl::xml::setField(m_headAmpType, value, m_set[kHeadAmpType]);
}

int c_flashMemory::set_rfBoxType(const std::wstring& value) {
  return zyl::xml::setField(m_rfBoxType, value, m_set[kRfBoxType]);
}

void c_flashMemory::unset_version() {
  zyl::xml::resetField(Binder::bind(*this), kVersion);
}

void c_flashMemory::unset_piraniType() {
  zyl::xml::resetField(Binder::bind(*this), kPiraniType);
}

void c_flashMemory::unset_housingType() {
  zyl::xml::resetField(Binder::bind(*this), kHousingType);
}

void c_flashMemory::unset_headAmpType() {
  zyl::xml::resetField(Binder::bind(*this), kHeadAmpType);
}

void c_flashMemory::unset_rfBoxType() {
  zyl::xml::resetField(Binder::bind(*this), kRfBoxType);
}

}  // namespace FlashMemory
