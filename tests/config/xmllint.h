// Checks text with an independent XML parser: xmllint of libxml2.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zyl::xml::testing {

inline bool haveXmllint() {
  return std::system("command -v xmllint >/dev/null 2>&1") == 0;
}

// xmllint's verdict: true when the text is well-formed.
inline bool xmllintAccepts(const std::string& text) {
  FILE* pipe = popen("xmllint --noout - 2>/dev/null", "w");
  if (pipe == nullptr) return false;
  std::fwrite(text.data(), 1, text.size(), pipe);
  return pclose(pipe) == 0;
}

}  // namespace zyl::xml::testing

#define ZYL_REQUIRE_XMLLINT()                                                   \
  do {                                                                          \
    if (!zyl::xml::testing::haveXmllint()) GTEST_SKIP() << "xmllint not found"; \
  } while (0)
