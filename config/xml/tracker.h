#pragma once

#include <string>
#include <string_view>

namespace zyl::xml {

// Collects the first missing required element of a record as "item/element", where the item
// name says which record (or which part of a larger document) was checked.
class Tracker {
 public:
  void setItem(std::string_view item) { m_item.assign(item); }
  const std::string& item() const { return m_item; }

  // Records `element` as missing under the current item unless an error is already held.
  void addMissing(std::string_view element);

  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }
  void clear() { m_error.clear(); }

 private:
  std::string m_item;
  std::string m_error;
};

}  // namespace zyl::xml
