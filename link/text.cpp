// The small text utilities of the instrument object that the subsystems share.
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "zyl/ZylInterface.h"

char* ZylInterface::readEnglishLocaleFloat(char* text, double* out) {
  if (char* point = std::strchr(text, '.')) *point = *std::localeconv()->decimal_point;
  char* end = nullptr;
  *out = std::strtod(text, &end);
  return end;
}

void ZylInterface::split(std::string& text, std::vector<std::string>& pieces) {
  pieces.clear();
  size_t begin = 0;
  for (size_t comma; (comma = text.find(',', begin)) != std::string::npos; begin = comma + 1)
    pieces.push_back(text.substr(begin, comma - begin));
  pieces.push_back(text.substr(begin));
}

void ZylInterface::replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;  // an empty pattern matches everywhere and would never end
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}
