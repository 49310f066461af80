// The page's files, compiled into the tool so that it serves exactly these and nothing from the
// file system (no path can reach a file by traversal), and works with no network.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace zyl::serve {

struct Asset {
  std::string path;  // "/index.html", "/app.js", ...
  const char* data;
  size_t size;
  const char* type;
};

std::span<const Asset> assets();

}  // namespace zyl::serve
