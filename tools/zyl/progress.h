// Progress of long work, on standard error and only when it is a terminal and --json is off:
// nothing of it reaches a pipe, a log or a script, whose output says the result once the work is
// done.
//
//   Spinner: work of unknown length (pump-down, heat-up, a scan, a flash transfer): a live line
//            with a spinner, the elapsed time and what moves ("pressure 0.5 mbar, pump speed
//            700"). Flash transfers get no progress from the library, so they show this line.
//   ProgressBar: a transfer whose progress the library reports (firmware update): a bar with
//            bytes and percentage. The library reports progress through a plain function
//            (SetProgressCallback), so `ProgressBar::report` forwards to the bar alive now.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zyl::tool {

class Spinner {
 public:
  explicit Spinner(std::string label);
  ~Spinner() { finish(); }
  void update(const std::string& text);
  void finish();  // clears the line
  double elapsedSeconds() const;
  bool live() const { return live_; }  // drawn on a terminal

 private:
  bool live_;
  std::string label_;
  std::chrono::steady_clock::time_point start_;
  int frame_ = 0;
};

class ProgressBar {
 public:
  ProgressBar(std::string label, long totalBytes);
  ~ProgressBar();
  void update(long doneBytes);  // values beyond the total are drawn as the total
  void finish();                // ends the bar's line
  bool live() const { return live_; }
  long lastReported() const { return last_; }  // as given, also beyond the total
  // For ZylInterface::SetProgressCallback: updates the bar alive now, if any.
  static void report(int doneBytes);

 private:
  bool live_;
  std::string label_;
  long total_;
  long last_ = 0;
};

// No progress at all from now on (--json: the document is the whole output).
void hideProgress();

// Runs `work` on this thread while a live line shows `label`, the elapsed time and `text()`,
// redrawn from a thread of its own; returns the work's status. Off a terminal it only runs it.
unsigned int runWithSpinner(const std::string& label, const std::function<unsigned int()>& work,
                            const std::function<std::string()>& text = {});

// Polls `done` five times a second with `line()` live on `spinner`, until it holds, `seconds`
// pass or Ctrl-C comes.
enum class Waited { Reached, TimedOut, Interrupted };
Waited waitShowing(Spinner& spinner, double seconds, const std::function<bool()>& done,
                   const std::function<std::string()>& line);

}  // namespace zyl::tool
