#include "zyl/FlashMemory.h"

#include <algorithm>
#include <utility>

namespace FlashMemory {

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

void c_flashMemory::reset() {
  c_flashMemory fresh;
  swap(fresh);
}

}  // namespace FlashMemory
