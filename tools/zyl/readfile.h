// Reading a file a user names, whole, with a message that says why not.
#pragma once

#include <string>

namespace zyl::tool {

// "" and `bytes` filled, or why the file cannot be read ("is a directory", ...).
std::string readWholeFile(const std::string& name, std::string& bytes);

}  // namespace zyl::tool
