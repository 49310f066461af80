// The built zyl program run as a user runs it, against the simulated instrument: each command
// line of the table must end with its exit code and say its fragment (on standard output or
// error), leave the files it did not create as they were and no temporary file behind. Every
// run with --json must write exactly one JSON document (JSON Lines with --watch).
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "zyl/version.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct Ran {
  int exit = -1;
  std::string out, err;
  double seconds = 0;
};

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("zyl-tool-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // In a child: runs zyl in `dir`.
  [[noreturn]] void exec(const Args& args) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char*> argv{const_cast<char*>(ZYL_TOOL)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ZYL_TOOL, argv.data());
    _exit(127);
  }
  // Runs zyl in `dir` with ZYL_BACKEND unset; Ctrl-C after `interruptAfterMs` if not negative.
  // Standard output goes to `out` (relative to `dir`, or absolute such as /dev/full).
  Ran run(const Args& args, int interruptAfterMs = -1, const std::string& out = "stdout") {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      sigset_t interrupt;  // held back until the tool's handler is in place
      sigemptyset(&interrupt);
      sigaddset(&interrupt, SIGINT);
      sigprocmask(SIG_BLOCK, &interrupt, nullptr);
      unsetenv("ZYL_BACKEND");
      unsetenv("ZYL_SIM_STATE");
      setenv("XDG_CACHE_HOME", dir.c_str(), 1);  // the simulator's flash, kept between runs
      dup2(open((dir / out).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      dup2(open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      exec(args);
    }
    if (interruptAfterMs >= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(interruptAfterMs));
      kill(pid, SIGINT);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Ran r;
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(dir / "stdout");
    r.err = slurp(dir / "stderr");
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
  }

  // Runs zyl on a terminal (a pseudo-terminal for standard output and error) and returns all it
  // wrote there.
  std::string runOnTerminal(const Args& args) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) exec(args);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    waitpid(pid, nullptr, 0);
    close(master);
    return text;
  }

  fs::path dir;
};

struct Case {
  Args args;
  int exit;
  std::string fragment;
  int interruptAfterMs = -1;
};

// Files that each run of the table finds, and that none may change.
const char* const kKept[] = {"keep.csv", "keep.svg", "keep.bin", "keep.xml"};

bool has(const Args& args, const std::string& a) {
  return std::find(args.begin(), args.end(), a) != args.end();
}

TEST_F(ToolTest, CommandLinesEndWithTheirExitCodeAndSayWhy) {
  const std::string older = "--sim=VERSION110812";
  const std::string longText(300, 'a');
  const Case cases[] = {
      {{}, 1, "a command is required: list, info"},
      {{"foo"}, 1, "unknown command \"foo\""},
      {{"--json", "foo"}, 1, "\"exit\": 1"},
      {{"--version"}, 0, std::string("(libzyl ") + ZYL_VERSION + ")"},
      {{"info", "--json"}, 1, "--json is a global option: put it before the command"},
      {{"--sim", "list"}, 0, "000:001   04b4:1004 SIM0001"},
      {{"--sim", "--serial", "SIM0001", "info"}, 0, "library:    " ZYL_VERSION},
      {{"--sim", "--serial", "NOPE", "info"}, 2, "no instrument with serial number NOPE"},
      {{"--sim", "--device", "0:2", "info"}, 2, "no instrument at 0:2"},
      {{"--device", "1-2", "info"}, 1, "is not BUS:ADDR"},
      {{"--sim-time-scale", "nan", "--sim", "info"}, 1, "not a time scale from 0.01 to 1000"},
      {{"--sim-time-scale", "1e12", "--sim", "info"}, 1, "not a time scale from 0.01 to 1000"},
      {{"--sim-time-scale", "0", "--sim", "info"}, 1, "not a time scale from 0.01 to 1000"},
      {{"--sim=VERSION1", "info"}, 1, "not a firmware version text"},
      {{"--log", "/nonexistent/dir", "--sim", "info"}, 1, "no such directory"},
      {{"--sim", "--json", "dio", "analog", "8", "4779", "--mode", "2"}, 0, "\"value\": 4779"},
      {{"--sim", "--json", "dio", "i2c", "1", "2", "255"}, 0, "\"i2c\": ["},
      {{older, "--json", "dio", "in", "15"}, 0, "\"channel\": 15"},
      {{"--sim", "serial", "2", "send", "zz", "--hex"}, 1, "\"z\", which is not a hex digit"},
      {{"--sim", "serial", "2", "send", "123", "--hex"}, 1, "odd number of hex digits"},
      {{"--sim", "serial", "16", "send", "a"}, 1, "serial channel 16 is out of range: 0 to 15"},
      {{"--sim", "serial", "1", "send", longText},
       1,
       "300 characters; one command carries at most 251"},
      {{"--sim", "serial", "1", "send", "@254PR1?;FF"}, 0, "@253ACK"},
      {{"--sim", "modbus", "6", "--ascii", "write", "1", "2160", "70000"}, 1, "holds 0-65535"},
      {{"--sim", "modbus", "6", "write", "1", "2160", "1101004800"}, 0, "read_back:  1101004800"},
      // A refusal is shown in the device's words, read-only register or not; so is silence.
      {{"--sim", "--json", "modbus", "6", "write", "1", "402", "5"},
       3,
       "exception 2 (illegal data"},
      {{"--sim", "modbus", "6", "--ascii", "write", "1", "1880", "7"}, 3, "exception 3 (illegal"},
      {{"--sim", "modbus", "6", "read", "9", "402"}, 3, "device 9 on channel 6 did not answer"},
      {{"--sim", "modbus", "6", "--ascii", "read", "1", "1880"}, 0, "value:     62"},
      // Checked and refused before anything touches the instrument: no --sim, yet exit 1, not 2.
      {{"scan", "--from", "0", "--to", "9", "--time", "5", "--out", "/nonexistent/x.csv"},
       1,
       "cannot write /nonexistent/x.csv: No such file or directory"},
      {{"info"}, 2, "run with --sim"},
      {{"--json", "info"}, 2, "\"exit\": 2"},
      {{"--sim", "scan", "--from", "0", "--to", "100", "--time", "5"}, 0, "the scan has no points"},
      {{"--sim", "--json", "status", "--watch", "1"}, 0, "\"t_s\":"},
      {{older, "--sim-time-scale", "100", "pump", "on", "--wait", "30"}, 0, "vacuum_ready:    yes"},
      {{"--sim", "--json", "pump", "on", "--wait", "0.3"}, 3, "not reached within 0.3 s"},
      {{"--sim", "pump", "on", "--wait", "60"}, 130, "interrupted (Ctrl-C)", 800},
      // The gas heater waits for the capillary's heat-up, and both final states are reported.
      {{"--sim", "--sim-time-scale", "20", "--json", "heater", "capillary,desolvation", "on",
        "--temp", "200"},
       0,
       "\"desolvation_on\": true"},
      {{"--sim", "heater", "capillary,capillary", "off"}, 1, "repeated heater \"capillary\""},
      {{"--sim", "heater", "capillary", "on", "--watch", "5"},
       130,
       "watch interrupted (Ctrl-C)",
       700},
      {{"--sim", "status", "--watch"}, 130, "interrupted (Ctrl-C)", 700},
      {{"--sim", "dio", "i2c", "1", "2", "3", "4"}, 1, "I2C takes exactly three bytes, not 4"},
      {{"--sim", "dio", "set", "3", "on", "--no-send"}, 0, "yes (stored, not sent)"},
      {{"--sim", "--json", "config", "set", "--text", "qc-data", "R&D <1>"},
       0,
       "\"qc-data\": \"R&amp;D &lt;1&gt;\""},
      {{"--sim", "config", "set", "qc-data", std::string(70000, 'q')}, 1, "does not fit"},
      {{"--sim", "heater", "foo", "on"}, 1, "heaters are capillary, desolvation and apci"},
      {{"--sim", "--json", "firmware", "update", "fw.bin"},
       0,
       "\"firmware\": \"VERSION140101A-V3\""},
      {{"--sim", "firmware", "update", "missing.bin"}, 1, "File does not exist"},
      {{"--sim", "--sim-time-scale", "100", "demo"}, 0, "plot:             scan.svg"},
      {{"--sim-state", "none", "gauge", "read"}, 0, "pressure_mbar:  1000.0"},
      {{"--sim-model", "zentra-C Vexa", "info"}, 0, "model:      zentra-C Vexa"},
      // The flash outlives the run, unless the state is kept in memory only.
      {{"--sim", "config", "set", "serial-number", "SN42"}, 0, "serial-number:       SN42"},
      {{"--sim", "config", "show"}, 0, "serial-number:       SN42"},
      {{"--sim-state", "none", "--json", "config", "show"}, 0, "\"serial-number\": \"SIM0001\""},
      {{"--sim", "--json", "config", "xml", "--volatile"}, 0, "volatileFlashMemory"},
      {{"--sim", "flash", "read", "0", "r0.bin"}, 0, "saved_to:  r0.bin"},
      {{"--sim", "flash", "write", "0", "r0.bin"}, 0, "written_from:  r0.bin"},
      {{"flash", "read", "1", "/nonexistent/r1"}, 1, "cannot write /nonexistent/r1: No such file"},
      {{"--sim", "tune", "set", "--ion", "ion.xml"}, 0, "stored:  ion.xml"},
      // Neither an empty file nor one starting with a zero byte erases the slot.
      {{"--sim", "tune", "set", "--ion", "empty.bin"}, 1, "holds no document"},
      {{"--sim", "tune", "set", "--ion", "nul.bin"}, 1, "starts with a zero byte"},
      {{"--sim", "tune", "set", "--ion", "/tmp"}, 1, "/tmp: is a directory"},
      {{"--sim", "tune", "get", "--ion"}, 0, "<spray>4.5</spray>"},
      {{"--sim", "firmware", "update", "empty.bin"}, 1, "empty.bin is empty"},
      {{"--sim", "flash", "write", "0", "empty.bin"}, 1, "empty.bin is empty"},
      {{"--sim", "tune", "set", "--group", "B", "fw.bin"}, 1, "the document was refused"},
      // Every command that writes a file leaves an existing one as it was when it fails: refused
      // input, no instrument, an empty slot, Ctrl-C.
      {{"scan", "--from", "0", "--to", "9000", "--time", "5", "--out", "keep.csv", "--plot",
        "keep.svg"},
       2,
       "no instrument answered"},
      {{"--sim", "scan", "--from", "0", "--to", "65535", "--time", "1000000", "--out", "keep.csv"},
       1,
       "the longest time for this range is"},
      {{"--sim=VERSION110812", "scan", "--from", "0", "--to", "60000", "--time", "1500", "--out",
        "keep.csv"},
       130,
       "keep.csv left as it was",
       300},
      {{"--sim", "flash", "read", "2", "keep.bin"}, 1, "flash region 2 is out of range: 0 to 1"},
      {{"flash", "read", "0", "keep.bin"}, 2, "no instrument answered"},
      {{"--sim", "tune", "get", "--group", "B", "keep.xml"}, 3, "keep.xml left as it was"},
      {{"tune", "get", "keep.xml"}, 2, "no instrument answered"},
  };
  std::ofstream(dir / "fw.bin") << "image of VERSION140101A-V3";
  std::ofstream(dir / "empty.bin");
  std::ofstream(dir / "nul.bin") << std::string(1, '\0') << "<ionSourceOptimization/>";
  std::ofstream(dir / "ion.xml")
      << "<ionSourceOptimization><spray>4.5</spray></ionSourceOptimization>";
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += " " + a.substr(0, 40);
    SCOPED_TRACE("zyl" + line);
    for (const char* name : kKept) std::ofstream(dir / name) << "kept";
    const Ran r = run(c.args, c.interruptAfterMs);
    EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.fragment), std::string::npos) << r.out << r.err;
    for (const char* name : kKept) EXPECT_EQ(slurp(dir / name), "kept") << name;
    for (const auto& entry : fs::directory_iterator(dir))  // no temporary file left behind
      EXPECT_EQ(entry.path().filename().string().find(".zyl-"), std::string::npos);
    if (!has(c.args, "--json")) continue;
    if (has(c.args, "--watch")) {
      std::istringstream lines(r.out);
      for (std::string l; std::getline(lines, l);) EXPECT_TRUE(nlohmann::json::accept(l)) << l;
    } else {
      EXPECT_TRUE(nlohmann::json::accept(r.out)) << r.out;
    }
  }
}

// The simulated instrument runs on between runs: each run finds pump, vacuum and heaters where the
// last one left them, moved on by the time between. Files that are not its state are refused and
// left as they were, and so is a run whose state cannot be written.
TEST_F(ToolTest, SimulatedInstrumentRunsOnBetweenRuns) {
  const auto step = [&](Args args) {
    args.insert(args.begin(), {"--sim-state", "st", "--json"});
    const Ran r = run(args);
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
  };
  const auto aMinuteLater = [&] {  // as if the instrument had run on its own since
    std::string state = slurp(dir / "st");
    const size_t at = state.find("saved-at ") + 9, end = state.find('\n', at);
    const long long ms = std::stoll(state.substr(at, end - at)) - 60000;
    std::ofstream(dir / "st", std::ios::binary) << state.replace(at, end - at, std::to_string(ms));
  };
  step({"pump", "on"});
  aMinuteLater();
  const auto pumped = step({"status"});
  EXPECT_EQ(pumped["pump_at_speed"], true);
  EXPECT_LT(pumped["pressure_mbar"], 1e-4);
  step({"heater", "capillary", "on", "--temp", "150"});
  aMinuteLater();
  EXPECT_GT(step({"status"})["capillary_c"], 140);
  EXPECT_GT(step({"scan", "--from", "0", "--to", "60000", "--time", "100"})["points"], 100);

  const std::string state = slurp(dir / "st");
  struct Refusal {
    std::string file;
    std::optional<std::string> content;
    int exit;
    std::string fragment;
  };
  const Refusal refusals[] = {
      {"notes.csv", "position,counts\n1,2\n", 1, "is not a state file of the simulated"},
      {"cut", state.substr(0, state.size() - 4), 1, "damaged: it ends before its"},
      {"bad", "zyl-sim-state 1\nsaved-at 0\npump 1 0 nan 1\nend\n", 1, "damaged: line 3"},
      {"newer", "zyl-sim-state 2\nend\n", 1, "its format 2 is not the format 1"},
      {"log", std::nullopt, 1, "it is a directory"},
      {"/nonexistent/x.state", std::nullopt, 1, "cannot write the state file /nonexistent"},
      {"empty", "", 0, "\"serial-number\": \"SN9\""},
  };
  fs::create_directories(dir / "log");
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(c.file);
    if (c.content) std::ofstream(dir / c.file, std::ios::binary) << *c.content;
    const Ran r = run({"--sim-state", c.file, "--json", "config", "set", "serial-number", "SN9"});
    EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
    EXPECT_NE(r.out.find(c.fragment), std::string::npos) << r.out << r.err;
    if (c.content && c.exit != 0) {
      EXPECT_EQ(slurp(dir / c.file), *c.content);
    }
  }
  EXPECT_NE(run({"--sim-state", "empty", "config", "show"}).out.find("SN9"), std::string::npos);
}

// Standard output that cannot be written fails the run.
TEST_F(ToolTest, UnwritableStandardOutputFailsTheRun) {
  for (const Args& args : {Args{"--sim", "config", "xml"}, Args{"--sim", "config", "show"},
                           Args{"--json", "--sim", "info"}}) {
    const Ran r = run(args, -1, "/dev/full");
    EXPECT_EQ(r.exit, 1) << args[1];
    EXPECT_EQ(r.err, "zyl: cannot write standard output\n") << args[1];
  }
}

TEST_F(ToolTest, ScanWritesItsFilesOrStandardOutput) {
  Ran r = run({"--sim", "scan", "--from", "0", "--to", "100", "--time", "5", "--out", "z.csv"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(slurp(dir / "z.csv"), "position,counts\n");

  r = run({"--sim", "scan", "--from", "1000", "--to", "9192", "--time", "10", "--out", "-"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out.rfind("position,counts\n1000,", 0), 0u) << r.out;
  EXPECT_GT(std::count(r.out.begin(), r.out.end(), '\n'), 5);
  EXPECT_NE(r.err.find("points:"), std::string::npos);

  // The plot: round ticks (not quarters of the range), labelled axes, what and when in the title.
  r = run({"--sim", "scan", "--from", "1000", "--to", "60000", "--time", "100", "--plot", "p.svg"});
  EXPECT_EQ(r.exit, 0);
  const std::string svg = slurp(dir / "p.svg");
  for (const char* part : {">10000</text>", ">50000</text>", "firmware VERSION130904A-V3, 20",
                           "ion counts per point", "scan position"})
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  EXPECT_EQ(svg.find(">15750</text>"), std::string::npos);
}

TEST_F(ToolTest, OlderGenerationIsAskedForEveryReadingAndScansTakeTheirTime) {
  // A scan of 2000 ms at four times the speed: half a second, as the instrument would take.
  Ran r = run({"--sim=VERSION110812", "--sim-time-scale", "4", "scan", "--from", "0", "--to",
               "60000", "--time", "2000"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_GE(r.seconds, 0.45);

  // Two readings a second apart: each one refreshed, though the library would accept the first
  // for three seconds.
  fs::create_directories(dir / "log");
  r = run({"--log", "log", "--sim=VERSION110812", "status", "--watch", "1"});
  EXPECT_EQ(r.exit, 0);
  const std::string log = slurp(dir / "log" / "ZylDebug.out");
  size_t refreshes = 0;
  for (size_t at = 0; (at = log.find("-1B3000", at)) != std::string::npos; ++at) ++refreshes;
  EXPECT_GE(refreshes, 3u) << log;  // connection, then one per reading
}

TEST_F(ToolTest, ProgressShowsOnATerminalOnly) {
  std::ofstream(dir / "fw.bin") << std::string(20000, 'x');
  const Args update{"--sim", "firmware", "update", "fw.bin"};
  EXPECT_NE(runOnTerminal(update).find("20000 / 20000 bytes 100%"), std::string::npos);
  EXPECT_EQ(runOnTerminal({"--json", "--sim", "firmware", "update", "fw.bin"}).find('%'),
            std::string::npos);
  const Ran piped = run(update);
  EXPECT_EQ(piped.exit, 0);
  EXPECT_EQ(piped.err, "");

  const Args scan{"--sim=VERSION110812", "scan", "--from", "0", "--to", "60000", "--time", "300"};
  EXPECT_NE(runOnTerminal(scan).find("sweeping 0 to 60000 in 300 ms"), std::string::npos);
  EXPECT_EQ(run(scan).err, "");
}

}  // namespace
