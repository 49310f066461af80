// Ctrl-C. The first one only asks the running command to stop, so that it can switch the
// instrument's stream off and leave its output files as they were; it then exits 130. A second
// one ends the program at once (still 130), removing the temporary output files.
#pragma once

#include <chrono>

namespace zyl::tool {

// Installs the handler; called once at the start of a run.
void catchInterrupts();
bool interrupted();
// Sleeps, unless Ctrl-C comes first (then false).
bool sleepUnlessInterrupted(std::chrono::milliseconds duration);
// A temporary file the second Ctrl-C removes (at most a few at a time), and its release.
void removeOnAbort(const char* path);
void keepOnAbort(const char* path);

}  // namespace zyl::tool
