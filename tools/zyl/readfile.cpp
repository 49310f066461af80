#include "tools/zyl/readfile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zyl::tool {

std::string readWholeFile(const std::string& name, std::string& bytes) {
  if (std::filesystem::is_directory(name)) return "cannot read " + name + ": is a directory";
  std::ifstream in(name, std::ios::binary);
  if (!in) return "cannot read " + name + ": " + std::strerror(errno);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return "cannot read " + name + ": " + std::strerror(errno);
  return {};
}

}  // namespace zyl::tool
