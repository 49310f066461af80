#include "tools/zyl/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "tools/zyl/interrupt.h"

namespace zyl::tool {

std::string OutputFile::open(const std::string& name) {
  name_ = name;
  if (name == "-") return {};
  if (std::filesystem::is_directory(name)) return "cannot write " + name + ": is a directory";
  // Beside the target, so that the rename stays on one file system and replaces it at once.
  std::string pattern = name + ".zyl-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  const int fd = mkstemp(path.data());
  if (fd < 0) return "cannot write " + name + ": " + std::strerror(errno);
  ::close(fd);
  temporary_ = path.data();
  removeOnAbort(temporary_.c_str());
  file_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!file_) {
    discard();
    return "cannot write " + name + ": " + std::strerror(errno);
  }
  return {};
}

std::ostream& OutputFile::stream() {
  return name_ == "-" ? std::cout : file_;
}

bool OutputFile::close() {
  if (name_ == "-") return static_cast<bool>(std::cout.flush());
  if (temporary_.empty()) return false;
  file_.close();
  // A new file gets the permissions the user's umask gives, an existing one keeps its own.
  std::error_code error;
  const auto status = std::filesystem::status(name_, error);
  auto permissions = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                     std::filesystem::perms::group_read | std::filesystem::perms::others_read;
  if (!error && std::filesystem::exists(status)) {
    permissions = status.permissions();
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    permissions = static_cast<std::filesystem::perms>(0666 & ~mask);
  }
  std::filesystem::permissions(temporary_, permissions, error);
  if (file_.fail() || std::rename(temporary_.c_str(), name_.c_str()) != 0) {
    discard();
    return false;
  }
  keepOnAbort(temporary_.c_str());
  temporary_.clear();
  return true;
}

void OutputFile::discard() {
  if (file_.is_open()) file_.close();
  if (temporary_.empty()) return;
  std::remove(temporary_.c_str());
  keepOnAbort(temporary_.c_str());
  temporary_.clear();
}

}  // namespace zyl::tool
