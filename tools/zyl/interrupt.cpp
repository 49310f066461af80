#include "tools/zyl/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace zyl::tool {
namespace {

std::atomic<bool> interruptRequested{false};
// The temporary output files of the run, for the handler (which may only unlink).
constexpr int kTemporaries = 4;
std::atomic<const char*> temporaries[kTemporaries];

void onInterrupt(int) {
  if (!interruptRequested.exchange(true)) return;
  for (auto& path : temporaries)
    if (const char* p = path.load()) unlink(p);
  _exit(130);
}

}  // namespace

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = &onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  // A parent may start us with SIGINT blocked so that a Ctrl-C during start-up is held back
  // rather than killing us before the handler exists (the tool tests do); it arrives here.
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
}

bool interrupted() {
  return interruptRequested.load();
}

bool sleepUnlessInterrupted(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (!interrupted()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
  return false;
}

void removeOnAbort(const char* path) {
  for (auto& slot : temporaries) {
    const char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, path)) return;
  }
}

void keepOnAbort(const char* path) {
  for (auto& slot : temporaries) {
    const char* expected = path;
    slot.compare_exchange_strong(expected, nullptr);
  }
}

}  // namespace zyl::tool
