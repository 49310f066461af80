#include "tools/zyl/progress.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "tools/zyl/interrupt.h"

namespace zyl::tool {
namespace {

std::atomic<ProgressBar*> current{nullptr};
std::atomic<bool> hidden{false};

bool onTerminal() {
  return !hidden && isatty(STDERR_FILENO) != 0;
}

}  // namespace

Spinner::Spinner(std::string label)
    : live_(onTerminal()), label_(std::move(label)), start_(std::chrono::steady_clock::now()) {}

double Spinner::elapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Spinner::update(const std::string& text) {
  if (!live_) return;
  static const char* const frames[] = {"|", "/", "-", "\\"};
  std::fprintf(stderr, "\r\033[K%s %s %.1f s  %s", frames[frame_++ % 4], label_.c_str(),
               elapsedSeconds(), text.c_str());
  std::fflush(stderr);
}

void Spinner::finish() {
  if (!live_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  live_ = false;
}

ProgressBar::ProgressBar(std::string label, long totalBytes)
    : live_(onTerminal()), label_(std::move(label)), total_(std::max(totalBytes, 0L)) {
  current = this;
  update(0);
}

ProgressBar::~ProgressBar() {
  finish();
}

void ProgressBar::update(long doneBytes) {
  last_ = doneBytes;
  if (!live_) return;
  const long done = std::clamp(doneBytes, 0L, total_);
  const int percent = total_ > 0 ? static_cast<int>(done * 100 / total_) : 100;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r\033[K%s [%s] %ld / %ld bytes %3d%%", label_.c_str(), bar, done, total_,
               percent);
  std::fflush(stderr);
}

void ProgressBar::finish() {
  ProgressBar* self = this;
  current.compare_exchange_strong(self, nullptr);
  if (!live_) return;
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  live_ = false;
}

void ProgressBar::report(int doneBytes) {
  if (ProgressBar* bar = current.load()) bar->update(doneBytes);
}

void hideProgress() {
  hidden = true;
}

unsigned int runWithSpinner(const std::string& label, const std::function<unsigned int()>& work,
                            const std::function<std::string()>& text) {
  Spinner spinner(label);
  if (!spinner.live()) return work();
  std::atomic<bool> done{false};
  std::thread ticker([&] {
    while (!done) {
      spinner.update(text ? text() : std::string());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const unsigned int status = work();
  done = true;
  ticker.join();
  return status;
}

Waited waitShowing(Spinner& spinner, double seconds, const std::function<bool()>& done,
                   const std::function<std::string()>& line) {
  while (!done()) {
    if (spinner.elapsedSeconds() >= seconds) return Waited::TimedOut;
    spinner.update(line());
    if (!sleepUnlessInterrupted(std::chrono::milliseconds(200))) return Waited::Interrupted;
  }
  return Waited::Reached;
}

}  // namespace zyl::tool
