#include "zyl/VolatileFlashMemory.h"

#include <utility>

#include "config/xml/binding.h"

namespace VolatileFlashMemory {

namespace {

using zyl::xml::FieldSpec;
using zyl::xml::FieldType;

constexpr FieldSpec kFields[] = {
    {"version", FieldType::Text, true, false, L"1.0"},
    {"lastPumpDownTime", FieldType::Int32, false, true, L"", 0},
};

}  // namespace

struct Binder {
  static_assert(std::size(kFields) == c_volatileFlashMemory::kFieldCount);

  // Writing goes through the same slots as reading and only reads them.
  static zyl::xml::RecordBinding bind(const c_volatileFlashMemory& record) {
    auto& r = const_cast<c_volatileFlashMemory&>(record);
    return {"volatileFlashMemory",
            kFields,
            {{{&r.m_version, &r.m_set[c_volatileFlashMemory::kVersion]},
              {&r.m_lastPumpDownTime, &r.m_set[c_volatileFlashMemory::kLastPumpDownTime]}}}};
  }
};

c_volatileFlashMemory::c_volatileFlashMemory() {
  init();
}

void c_volatileFlashMemory::init() {
  zyl::xml::resetAll(Binder::bind(*this));
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

// The same as swapping with a fresh record, but assigning in place keeps the strings' storage,
// so reloading a record allocates nothing.
void c_volatileFlashMemory::reset() {
  init();
}

ZYL_XML_RECORD_MEMBERS(c_volatileFlashMemory)

int c_volatileFlashMemory::set_version(const std::wstring& value) {
  return zyl::xml::setField(m_version, value, m_set[kVersion]);
}

void c_volatileFlashMemory::unset_version() {
  zyl::xml::resetField(Binder::bind(*this), kVersion);
}

int c_volatileFlashMemory::set_lastPumpDownTime(int value) {
  return zyl::xml::setField(m_lastPumpDownTime, value, m_set[kLastPumpDownTime]);
}

}  // namespace VolatileFlashMemory
