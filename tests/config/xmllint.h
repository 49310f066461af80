#pragma once

// Checks text with an independent XML parser (xmllint of libxml2), through a temporary file.

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace zyl::xml::testing {

inline bool haveXmllint() {
  return std::system("command -v xmllint >/dev/null 2>&1") == 0;
}

// Returns xmllint's verdict: true when the text is well-formed.
inline bool xmllintAccepts(const std::string& text) {
  char path[] = "/tmp/zyl_xmllint_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  close(fd);
  std::ofstream(path, std::ios::binary) << text;
  const std::string command = std::string("xmllint --noout ") + path + " 2>/dev/null";
  const int status = std::system(command.c_str());
  std::remove(path);
  return status == 0;
}

}  // namespace zyl::xml::testing

#define ZYL_REQUIRE_XMLLINT()                                                   \
  do {                                                                          \
    if (!zyl::xml::testing::haveXmllint()) GTEST_SKIP() << "xmllint not found"; \
  } while (0)
