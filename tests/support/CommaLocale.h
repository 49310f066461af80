// Numbers from the instrument use '.' whatever the host's locale: tests that read them run under
// one whose decimal separator is the comma, and are skipped where it is not installed.
#pragma once

#include <clocale>
#include <string>

namespace zyl::test {

class CommaLocale {
 public:
  static constexpr const char* kMissing = "the de_DE.UTF-8 locale is not installed";

  CommaLocale()
      : previous_(std::setlocale(LC_NUMERIC, nullptr)),
        ok_(std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {}
  ~CommaLocale() { std::setlocale(LC_NUMERIC, previous_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_;
};

}  // namespace zyl::test
