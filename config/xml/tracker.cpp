#include "config/xml/tracker.h"

namespace zyl::xml {

void Tracker::addMissing(std::string_view element) {
  if (!m_error.empty()) return;
  m_error.reserve(m_item.size() + 1 + element.size());
  m_error.append(m_item).append(1, '/').append(element);
}

}  // namespace zyl::xml
