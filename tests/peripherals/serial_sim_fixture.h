// The fixtures of the peripheral tests: an instrument object connected to the scripted fake back
// end, and SerialSimTest (one connected to a simulated instrument); helpers for serial data.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "support/link_fixture.h"
#include "support/sim_fixture.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {

class ConnectedFakeTest : public FakeLinkTest {
 protected:
  // A new instrument object, with the traffic of its connection forgotten; destroyed before the
  // fake back end it holds.
  void SetUp() override {
    FakeLinkTest::SetUp();
    z = std::make_unique<ZylInterface>();
    fake->clearRecord();
  }
  std::unique_ptr<ZylInterface> z;
};

// A serial read given `capacity` as its length, into a buffer of exactly `bytes` characters (by
// default `capacity`), so that the sanitizers see a write beyond it: its status, the count it gave
// and the characters counted ("<unterminated>" when no terminator follows them).
using ReadResult = std::tuple<unsigned int, long, std::string>;
template <class Read>
ReadResult readInto(long capacity, Read read, size_t bytes = 0) {
  std::vector<char> buffer(bytes ? bytes : static_cast<size_t>(capacity), 'z');
  long length = capacity;
  const unsigned int status = read(buffer.data(), length);
  if (length < 0 || static_cast<size_t>(length) >= buffer.size() ||
      buffer[static_cast<size_t>(length)] != '\0')
    return {status, length, "<unterminated>"};
  return {status, length, std::string(buffer.data(), static_cast<size_t>(length))};
}

// The bytes of `text` as two hex digits each: lower case as the write command carries them, upper
// case as the simulated controller reports them.
inline std::string hexOf(std::string_view text, bool upper = false) {
  const char* kDigits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

}  // namespace zyl::test
