// Progress of long work, on standard error and only when it is a terminal: nothing of it reaches
// a pipe, a log or a script, whose output says the result once the work is done.
//
//   Spinner: work of unknown length (pump-down, heat-up, a scan): a live line with a spinner, the
//            elapsed time and what moves ("pressure 0.5 mbar, pump speed 700").
//   ProgressBar: a transfer of known size (firmware update, flash read and write): a bar with
//            bytes and percentage. The library reports progress through a plain function
//            (SetProgressCallback), so `ProgressBar::report` forwards to the bar alive now.
#pragma once

#include <chrono>
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

}  // namespace zyl::tool
