// Output files that never lose what they held: the data go to a temporary file beside the target,
// which replaces it only once everything was written (Session::commit). A failure, Ctrl-C or an
// exception leaves the old file as it was. "-" is standard output.
#pragma once

#include <fstream>
#include <string>

namespace zyl::tool {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { discard(); }

  // Empty when the temporary file could be made beside `name`, else why not.
  std::string open(const std::string& name);
  bool wanted() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  std::ostream& stream();
  // Flushes and renames the temporary file over the target; false when something failed.
  bool close();
  // Removes the temporary file; the target is untouched.
  void discard();

 private:
  std::string name_, temporary_;
  std::ofstream file_;
};

}  // namespace zyl::tool
