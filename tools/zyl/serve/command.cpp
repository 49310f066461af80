// zyl serve [--listen HOST:PORT] [--token T] [--read-only] [--runs DIR]: the instrument behind a
// JSON API and a live page, until Ctrl-C or SIGTERM.
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <filesystem>

#include "tools/zyl/commands.h"
#include "tools/zyl/interrupt.h"
#include "tools/zyl/serve/server.h"

namespace zyl::tool {
namespace {

std::atomic<bool> terminateRequested{false};

// "HOST:PORT", "[v6]:PORT" or "HOST" (port 8080); false when it is none of these.
bool parseListen(const std::string& text, std::string& host, int& port) {
  std::string_view rest = text;
  port = 8080;
  if (rest.starts_with("[")) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty() && !rest.starts_with(":")) return false;
  } else {
    const size_t colon = rest.rfind(':');
    host = std::string(rest.substr(0, colon));
    rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon);
  }
  if (rest.starts_with(":")) {
    rest.remove_prefix(1);
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), port);
    if (error != std::errc() || end != rest.data() + rest.size() || port < 0 || port > 65535)
      return false;
  }
  return !host.empty() && host.find_first_of(" /") == std::string::npos;
}

constexpr const char* kApiHelp = R"(API (JSON, with the names zyl --json uses):
  GET  /api/status           the latest status: pressure_mbar, pump_speed, capillary_c, ...,
                             capillary_on, capillary_setpoint_c, ..., outputs_0_63, connected
  GET  /api/events           Server-Sent Events: status, scan, gap, run, log
  GET  /api/spectrum/latest  the run's latest spectrum: index, start_time_s, tic, base_peak_mz,
                             calibrated, mz [...], intensity [...]
  GET  /api/acquisition      the run now, or how the last one ended
  GET  /api/dac, /api/log    the DAC table; the debug log's last lines
  POST /api/pump             {"pump": "on"|"standby"|"off"}
  POST /api/heater/NAME      {"setpoint_c": 200, "on": true}   NAME: capillary, desolvation, apci
  POST /api/dac              {"channels": [{"channel": 0, "base": 100, "span": 2000},
                                           {"channel": 1, "value": 300}]}
  POST /api/acquisition      {"action": "start", "from": 1000, "to": 60000, "time_ms": 500,
                              "scans": 50 (or "duration_s": 600), "out": "run.mzML",
                              "centroid": false}   or   {"action": "stop"}
Every POST needs an Origin header naming this server and, when the server has a token, the
header X-Zyl-Token. Any address but loopback needs a token: one is generated and printed in the
URL (after #token=) unless --token gives it. While a run acquires, settings are refused (409).)";

}  // namespace

void addServeCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(app, "serve", "Serve the live page and a JSON API for the instrument",
                             "zyl --sim --sim-time-scale 20 serve   (then open the printed URL)");
  cmd->footer(kApiHelp);
  auto listen = std::make_shared<std::string>("127.0.0.1:8080");
  auto options = std::make_shared<serve::Options>();
  cmd->add_option("--listen", *listen,
                  "Address and port to listen on (default 127.0.0.1:8080; port 0 picks a free "
                  "one); any address but loopback needs a token")
      ->type_name("HOST:PORT");
  cmd->add_option("--token", options->token,
                  "The token every request that changes the instrument must carry (default: none "
                  "on loopback, a generated one elsewhere)")
      ->check([](const std::string& t) {
        return t.size() >= 16 &&
                       t.find_first_not_of("0123456789abcdefABCDEF-_") == std::string::npos
                   ? std::string()
                   : std::string("a token is at least 16 letters a-f, digits, - or _");
      })
      ->type_name("TOKEN");
  cmd->add_flag("--read-only", options->readOnly, "Serve the page without any control");
  cmd->add_option("--runs", options->runFolder,
                  "Folder the runs' mzML files are written to (default: the current one)")
      ->check(CLI::Validator(CLI::ExistingDirectory).description(""))
      ->type_name("DIR");
  cmd->callback([&run, listen, options] {
    if (!parseListen(*listen, options->host, options->port))
      throw CLI::ValidationError("--listen",
                                 "\"" + *listen + "\" is not HOST:PORT (e.g. 127.0.0.1:8080)");
    run = [options](Session& session) -> int {
      // The page shows the debug log's last lines, so there always is a log: in a scratch
      // folder removed at the end when --log-dir gives none.
      std::string scratch;
      if (session.options().logDir.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zyl-serve-XXXXXX").string();
        if (mkdtemp(pattern.data())) session.setLogDir(scratch = pattern);
      }
      // Each run and each watching client has threads of its own; with an arena per thread,
      // glibc would keep every finished run's freed spectra, and a server running for days would
      // grow by a run's worth of them each time. Two arenas keep its memory flat.
      mallopt(M_ARENA_MAX, 2);
      struct sigaction action {};
      action.sa_handler = [](int) { terminateRequested = true; };
      sigemptyset(&action.sa_mask);
      sigaction(SIGTERM, &action, nullptr);
      // No instrument yet is no reason to stop: the page shows it gone until it answers.
      const int code = serve::serve(session.instrument(), *options,
                                    [] { return !interrupted() && !terminateRequested; });
      if (!scratch.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
      }
      return code == 0 ? kOk : kUsage;
    };
  });
}

}  // namespace zyl::tool
