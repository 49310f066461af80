// `zyl --sim info` as a whole process (start, connect to the simulated instrument, identify, print,
// exit), next to the start and exit of a process that does nothing (/bin/true), so that the tool's
// own share is the difference. Output goes to /dev/null; each iteration waits for the exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `argv` to its end; true when it exited with 0.
bool run(char* const argv[]) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void BM_ZylSimInfoProcess(benchmark::State& state) {
  char tool[] = ZYL_TOOL_PATH, sim[] = "--sim", info[] = "info";
  char* const argv[] = {tool, sim, info, nullptr};
  for (auto _ : state)
    if (!run(argv)) state.SkipWithError("zyl --sim info failed");
}
BENCHMARK(BM_ZylSimInfoProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TrueProcess(benchmark::State& state) {
  char path[] = "/bin/true";
  char* const argv[] = {path, nullptr};
  for (auto _ : state)
    if (!run(argv)) state.SkipWithError("/bin/true failed");
}
BENCHMARK(BM_TrueProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
