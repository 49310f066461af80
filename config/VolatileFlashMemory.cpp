#include "zyl/VolatileFlashMemory.h"

#include <algorithm>
#include <utility>

namespace VolatileFlashMemory {

c_volatileFlashMemory::c_volatileFlashMemory() {
  init();
}

void c_volatileFlashMemory::init() {
  m_version = L"1.0";
  m_lastPumpDownTime = 0;
  std::fill(std::begin(m_set), std::end(m_set), false);
}

c_volatileFlashMemory::c_volatileFlashMemory(const c_volatileFlashMemory& other) = default;
c_volatileFlashMemory& c_volatileFlashMemory::operator=(const c_volatileFlashMemory& other) =
    default;
c_volatileFlashMemory::~c_volatileFlashMemory() = default;

c_volatileFlashMemory* c_volatileFlashMemory::clone() const {
  return new c_volatileFlashMemory(*this);
}

void c_volatileFlashMemory::swap(c_volatileFlashMemory& other) noexcept {
  using std::swap;
  swap(m_version, other.m_version);
  swap(m_lastPumpDownTime, other.m_lastPumpDownTime);
  swap(m_set, other.m_set);
}

void c_volatileFlashMemory::reset() {
  c_volatileFlashMemory fresh;
  swap(fresh);
}

}  // namespace VolatileFlashMemory
