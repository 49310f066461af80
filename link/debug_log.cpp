// The debug log and the process clocks: the ground every layer writes to and reads from, so that
// the command channel logs each exchange without calling above itself.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/clock.h"
#include "zyl/ZylInterface.h"

void ZylInterface::SetDebugCallback(ZylDebugCallback callback) {
  debugCallback = callback;
}

void ZylInterface::GetDebugString(char* out) {
  if (out) std::memcpy(out, debugString, std::strlen(debugString) + 1);
}

void ZylInterface::DebugOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(debugString, sizeof debugString, format, args);
  va_end(args);
  if (!debugLogFile) return;
  const long now = zyl::detail::clock().processMs();
  std::fprintf(debugLogFile, "%lu (%f) %s\n", static_cast<unsigned long>(now),
               static_cast<double>(now - lastLogClock) / 1000.0, debugString);
  std::fflush(debugLogFile);
  lastLogClock = now;
  if (debugCallback) debugCallback();
}

uint64_t ZylInterface::GetTimeMS() {
  return zyl::detail::clock().monotonicMs();
}
