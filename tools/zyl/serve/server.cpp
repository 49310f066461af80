#include "tools/zyl/serve/server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "surface/heaters.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/readings.h"
#include "tools/zyl/serve/assets.h"
#include "tools/zyl/serve/hub.h"
#include "tools/zyl/serve/requests.h"
#include "tools/zyl/serve/run.h"
#include "zyl/ZylInterface.h"

namespace zyl::serve {
namespace {

using nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;

constexpr size_t kBodyLimit = 64 * 1024;
constexpr size_t kHeaderLimit = 64;
constexpr size_t kLogLines = 200;
// Without a status frame for this long the V3 instrument counts as gone.
constexpr auto kFrameSilence = std::chrono::seconds(2);

double epochMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Text from the instrument (the debug log) may hold bytes that are not UTF-8: replaced, not thrown.
std::string dump(const ordered_json& j) {
  return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

void replyJson(Response& res, int status, const ordered_json& body) {
  res.status = status;
  res.set_content(dump(body), "application/json");
}

void refuse(Response& res, const Refusal& refusal) {
  replyJson(res, refusal.status, {{"error", refusal.message}});
}

template <class T>
std::optional<T> parsedOrRefuse(Parsed<T> parsed, Response& res) {
  if (const Refusal* refusal = std::get_if<Refusal>(&parsed)) {
    refuse(res, *refusal);
    return std::nullopt;
  }
  return std::get<T>(std::move(parsed));
}

class App;
std::atomic<App*> theApp{nullptr};
constexpr int kAbandoned = -1;
App* abandonedApp = nullptr;  // kept reachable: its threads may still run at exit

class App {
 public:
  App(ZylInterface& z, const Options& options)
      : z_(z),
        options_(options),
        run_(
            z, options.runFolder,
            [this](const std::string& e, const std::string& d) { hub_.publish(e, d); },
            [this] { wake(); }) {
    access_.token = options.token;
    access_.readOnly = options.readOnly;
    run_.onStatus = [this](const acq::StatusSample& s) { runSample(s); };
  }

  int run(const std::function<bool()>& keepRunning);

  // Called on the status thread after every V3 frame: only notes the time and wakes the publisher.
  void frameArrived() {
    frameMs_.store(epochMs());
    frames_.fetch_add(1);
    wake();
  }
  // Called on whichever thread wrote the debug log line; the publisher sends the lines in batches.
  void logLine() {
    char text[1024] = "";
    z_.GetDebugString(text);
    std::lock_guard lock(logMutex_);
    if (log_.size() >= kLogLines) log_.pop_front();
    log_.emplace_back(text);
    unsentLog_.emplace_back(text);
    if (unsentLog_.size() > kLogLines) unsentLog_.pop_front();
  }

 private:
  void wake() {
    {
      std::lock_guard lock(wakeMutex_);
      woken_ = true;
    }
    wake_.notify_one();
  }
  void routes();
  bool bindAndAnnounce();
  void limitsAndLogging();
  void readingRoutes();
  void streamRoute();
  void heaterRoute();
  void controlRoutes();
  void publisher();
  void flushLog();
  ordered_json snapshot(bool connected);
  void publishStatus(ordered_json status);
  void runSample(const acq::StatusSample& s);
  // A request that changes the instrument: checked, refused during a run, then `act` with the
  // instrument held.
  void change(const Request& req, Response& res, const std::function<void()>& act);

  ZylInterface& z_;
  Options options_;
  Access access_;
  httplib::Server http_;
  Hub hub_;
  std::mutex instrument_;  // every call that may send to z_
  RunControl run_;
  std::atomic<bool> stopping_{false};
  std::atomic<double> frameMs_{0};
  std::atomic<unsigned> frames_{0};
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  std::mutex latestMutex_;
  ordered_json latest_ = {{"connected", false}};
  std::string latestText_ = R"({"connected":false})";
  std::mutex logMutex_;
  std::deque<std::string> log_, unsentLog_;
};

// The tool's status record plus what the page needs beside it. With the instrument held; on V3
// firmware with the stream on, nothing is sent.
ordered_json App::snapshot(bool connected) {
  ordered_json out = {{"t_ms", epochMs()}, {"connected", connected}};
  if (!connected) return out;
  ordered_json status = tool::statusSnapshot(z_);
  if (status.contains("refresh")) out["connected"] = false;
  out.update(status);
  for (const surface::Heater& h : surface::heaters()) {
    out[std::string(h.name) + "_on"] = (z_.*h.getOn)() != 0;
    out[std::string(h.name) + "_setpoint_c"] = z_.*h.setpoint;
  }
  out["outputs_0_63"] = tool::outputsText(z_);
  return out;
}

void App::publishStatus(ordered_json status) {
  status["read_only"] = access_.readOnly;
  status["token_required"] = !access_.token.empty();
  status["run_active"] = run_.active();
  std::string text = status.dump();
  {
    std::lock_guard lock(latestMutex_);
    latest_ = std::move(status);
    latestText_ = text;
  }
  hub_.publish("status", text);
}

// Older firmware during a run: the run's own samples are the only readings, merged into the last
// full status.
void App::runSample(const acq::StatusSample& s) {
  if (z_.IsV3()) return;  // the stream goes on beside the run
  ordered_json status;
  {
    std::lock_guard lock(latestMutex_);
    status = latest_;
  }
  status["t_ms"] = epochMs();
  status["connected"] = true;
  status["pressure_mbar"] = s.pressureMbar;
  status["pump_speed"] = s.pumpSpeed;
  status["pump_running"] = s.pumpRunning;
  status["capillary_c"] = s.capillaryC;
  status["desolvation_c"] = s.desolvationC;
  status["apci_c"] = s.apciC;
  publishStatus(std::move(status));
}

void App::flushLog() {
  ordered_json lines = ordered_json::array();
  {
    std::lock_guard lock(logMutex_);
    for (std::string& line : unsentLog_) lines.push_back(std::move(line));
    unsentLog_.clear();
  }
  if (!lines.empty()) hub_.publish("log", dump(lines));
}

// V3 firmware: a status frame wakes it and the frame's readings go out at once; older firmware
// is asked once a second. Without frames (or answers) the instrument counts as gone, and it is
// looked for once a second until it answers again. Nothing is sent while a run owns the
// instrument. The debug log's new lines go out at most four times a second.
void App::publisher() {
  bool streaming = false;
  auto lastFrame = Clock::now();
  auto nextPoll = Clock::now();
  unsigned framesSeen = frames_.load();
  while (!stopping_) {
    {
      std::unique_lock lock(wakeMutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(250),
                     [&] { return woken_ || stopping_.load(); });
      woken_ = false;
    }
    if (stopping_) break;
    flushLog();
    run_.collect();
    const bool fresh = frames_.load() != framesSeen;
    framesSeen = frames_.load();
    const auto now = Clock::now();
    if (fresh) lastFrame = now;
    if (!fresh && now < nextPoll) continue;
    if (!fresh) nextPoll = now + std::chrono::seconds(1);
    ordered_json status;
    {
      std::lock_guard hold(instrument_);
      const bool running = run_.active();
      if (running && !z_.IsV3()) continue;  // the run's samples bring the readings
      const CommunicationState state = z_.GetCommunicationState();
      bool connected = state == CommConnected || state == CommInitialized;
      if (streaming && now - lastFrame > kFrameSilence) connected = false;
      if (!connected && !running) {
        if (streaming) z_.EnableStatusReporting(false);
        streaming = false;
        if (z_.TestConnection() >= CommConnected && z_.InitializeSettings() == CommInitialized) {
          connected = true;
          lastFrame = now;
        }
      }
      if (connected && !streaming && z_.IsV3() && !running) {
        z_.EnableStatusReporting(true);
        streaming = true;
        lastFrame = now;
      }
      if (connected && streaming && !fresh) continue;  // the next frame brings the readings
      status = snapshot(connected);
      if (fresh) status["t_ms"] = frameMs_.load();
      status["streamed"] = streaming;
    }
    publishStatus(std::move(status));
  }
  std::lock_guard hold(instrument_);
  if (streaming) z_.EnableStatusReporting(false);
}

void App::change(const Request& req, Response& res, const std::function<void()>& act) {
  if (auto refusal =
          checkChange(access_, req.get_header_value("Host"), req.get_header_value("Origin"),
                      req.get_header_value("X-Zyl-Token")))
    return refuse(res, *refusal);
  std::lock_guard hold(instrument_);
  if (run_.active())
    return replyJson(res, 409, {{"error", "a run is acquiring: stop it before changing settings"}});
  act();
}

void App::routes() {
  limitsAndLogging();
  readingRoutes();
  streamRoute();
  heaterRoute();
  controlRoutes();
}

void App::limitsAndLogging() {
  http_.set_payload_max_length(kBodyLimit);
  http_.set_read_timeout(5, 0);
  http_.set_write_timeout(5, 0);
  http_.set_keep_alive_timeout(5);
  http_.new_task_queue = [] { return new httplib::ThreadPool(48); };

  http_.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (req.headers.size() > kHeaderLimit) {
      replyJson(res, 431, {{"error", "too many header fields"}});
      return httplib::Server::HandlerResponse::Handled;
    }
    if (auto refusal = checkHost(access_, req.get_header_value("Host"))) {
      refuse(res, *refusal);
      return httplib::Server::HandlerResponse::Handled;
    }
    // httplib compresses with brotli at its slowest level when the browser offers it: two seconds
    // for a 21,599-point spectrum. Answers of the API go uncompressed (they are live and mostly
    // on loopback), the page's files with gzip when offered. The request is httplib's own object.
    const std::string accepts = req.get_header_value("Accept-Encoding");
    auto& headers = const_cast<httplib::Headers&>(req.headers);
    headers.erase("Accept-Encoding");
    if (!req.path.starts_with("/api/") && accepts.find("gzip") != std::string::npos)
      headers.emplace("Accept-Encoding", "gzip");
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http_.set_error_handler([](const Request&, Response& res) {
    if (!res.body.empty()) return;
    const char* what = res.status == 404   ? "no such page or API"
                       : res.status == 413 ? "the request is too large"
                       : res.status == 405 ? "method not allowed"
                                           : "malformed request";
    replyJson(res, res.status, {{"error", what}});
  });
  http_.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    replyJson(res, 500, {{"error", "internal error"}});
  });
  http_.set_logger([](const Request& req, const Response& res) {
    if (res.status >= 400)
      std::fprintf(stderr, "zyl serve: %d %s %.200s from %s\n", res.status, req.method.c_str(),
                   req.path.c_str(), req.remote_addr.c_str());
  });
}

void App::readingRoutes() {
  for (const Asset& asset : assets())
    http_.Get(asset.path == "/index.html" ? "/" : asset.path,
              [&asset](const Request&, Response& res) {
                res.set_content(asset.data, asset.size, asset.type);
                res.set_header("Cache-Control", "no-cache");
                res.set_header("X-Content-Type-Options", "nosniff");
                res.set_header("Content-Security-Policy",
                               "default-src 'self'; style-src 'self' 'unsafe-inline'");
              });

  http_.Get("/api/status", [this](const Request&, Response& res) {
    std::lock_guard lock(latestMutex_);
    res.set_content(latestText_, "application/json");
  });
  http_.Get("/api/log", [this](const Request&, Response& res) {
    std::lock_guard lock(logMutex_);
    replyJson(res, 200,
              {{"log", ordered_json(std::vector<std::string>(log_.begin(), log_.end()))}});
  });
  http_.Get("/api/dac", [this](const Request&, Response& res) {
    ordered_json channels = ordered_json::array();
    std::lock_guard hold(instrument_);
    for (unsigned ch = 0; ch < 16; ++ch) {
      const DacChannel& d = z_.dacChannels[ch];
      channels.push_back({{"channel", ch},
                          {"kind", d.kind == Ramped ? "ramped" : "fixed"},
                          {"base", d.base},
                          {"span", d.span}});
    }
    replyJson(res, 200, {{"channels", channels}});
  });
  http_.Get("/api/spectrum/latest", [this](const Request&, Response& res) {
    const auto spectrum = run_.latestSpectrum();
    if (!spectrum) return replyJson(res, 404, {{"error", "no spectrum yet: start a run"}});
    res.set_content(*spectrum, "application/json");
  });
  http_.Get("/api/acquisition", [this](const Request&, Response& res) {
    res.set_content(run_.state(), "application/json");
  });
}

void App::streamRoute() {
  http_.Get("/api/events", [this](const Request&, Response& res) {
    std::vector<Hub::Frame> greeting;
    {
      std::lock_guard lock(latestMutex_);
      greeting.push_back(Hub::frame("status", latestText_));
    }
    greeting.push_back(Hub::frame("run", run_.state()));
    auto client = hub_.subscribe(std::move(greeting));
    if (!client) return replyJson(res, 503, {{"error", "too many clients watching"}});
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client](size_t, httplib::DataSink& sink) {
          auto frames = client->take(std::chrono::seconds(15));
          if (stopping_) return false;
          if (frames.empty()) return sink.write(": idle\n\n", 8);
          for (const auto& f : frames)
            if (!sink.write(f->data(), f->size())) return false;
          return true;
        },
        [this, client](bool) { hub_.unsubscribe(client); });
  });
}

void App::heaterRoute() {
  http_.Post(R"(/api/heater/([a-z]{1,20}))", [this](const Request& req, Response& res) {
    std::string why;
    const auto named = surface::heatersNamed(req.matches[1].str(), why);
    if (named.empty()) return replyJson(res, 404, {{"error", why}});
    const surface::Heater& heater = *named.front();
    change(req, res, [&] {
      const auto c = parsedOrRefuse(parseHeater(req.body), res);
      if (!c) return;
      const std::string name = heater.name;
      if (c->setpoint) {
        if (unsigned int status = (z_.*heater.setTemp)(*c->setpoint); status != ZYL_SUCCESS)
          return replyJson(res, 502, {{"error", name + " set-point: " + tool::statusText(status)}});
      }
      if (c->on) {
        const unsigned int status = (z_.*heater.setOn)(*c->on ? 1 : 0);
        if (status == ZYL_HEATER_INTERLOCK)
          return replyJson(res, 409, {{"error", tool::interlockRefusal(name, false)}});
        if (status != ZYL_SUCCESS)
          return replyJson(res, 502, {{"error", name + " heater: " + tool::statusText(status)}});
      }
      replyJson(
          res, 200,
          {{name + "_on", (z_.*heater.getOn)() != 0}, {name + "_setpoint_c", z_.*heater.setpoint}});
    });
  });
}

void App::controlRoutes() {
  http_.Post("/api/pump", [this](const Request& req, Response& res) {
    change(req, res, [&] {
      const auto action = parsedOrRefuse(parsePump(req.body), res);
      if (!action) return;
      const unsigned int status = *action == PumpAction::On        ? z_.PumpOn()
                                  : *action == PumpAction::Standby ? z_.PumpStandby()
                                                                   : z_.PumpOff();
      const char* names[] = {"on", "standby", "off"};
      if (status != ZYL_SUCCESS)
        return replyJson(res, 502, {{"error", "pump: " + tool::statusText(status)}});
      replyJson(res, 200, {{"pump", names[static_cast<int>(*action)]}});
    });
  });
  http_.Post("/api/dac", [this](const Request& req, Response& res) {
    change(req, res, [&] {
      const auto changes = parsedOrRefuse(parseDacs(req.body), res);
      if (!changes) return;
      for (const DacChange& c : *changes) {
        const auto ch = static_cast<unsigned char>(c.channel);
        if (c.ramped)
          z_.SetScanParams(ch, c.base, c.span);
        else
          z_.SetDACParam(ch, c.base);
      }
      replyJson(res, 200, {{"dac", "stored; sent before the next scan"}});
    });
  });
  http_.Post("/api/acquisition", [this](const Request& req, Response& res) {
    if (auto refusal =
            checkChange(access_, req.get_header_value("Host"), req.get_header_value("Origin"),
                        req.get_header_value("X-Zyl-Token")))
      return refuse(res, *refusal);
    const auto run = parsedOrRefuse(parseRun(req.body), res);
    if (!run) return;
    if (!run->start) {
      if (!run_.stop()) return replyJson(res, 409, {{"error", "no run is acquiring"}});
      return replyJson(res, 200, {{"running", true}, {"stopping", true}});
    }
    std::lock_guard hold(instrument_);
    const CommunicationState state = z_.GetCommunicationState();
    if (state != CommInitialized && state != CommConnected)
      return replyJson(res, 503, {{"error", "no instrument answers"}});
    auto started = run_.start(*run);
    if (const Refusal* refusal = std::get_if<Refusal>(&started)) return refuse(res, *refusal);
    replyJson(res, 200, std::get<ordered_json>(started));
  });
}

// Binds the socket and prints the URL (with the token, where there is one) on standard output.
bool App::bindAndAnnounce() {
  int port = options_.port;
  if (port == 0)
    port = http_.bind_to_any_port(options_.host);
  else if (!http_.bind_to_port(options_.host, port))
    port = -1;
  if (port <= 0) {
    std::fprintf(stderr, "zyl: cannot listen on %s:%d (in use, or not an address here)\n",
                 options_.host.c_str(), options_.port);
    return false;
  }
  access_.hosts = hostNames(options_.host, port);
  // On every address: the URL names this machine, as other machines reach it.
  std::string urlHost = access_.hosts.front();
  if (char name[256] = ""; (options_.host == "0.0.0.0" || options_.host == "::") &&
                           gethostname(name, sizeof name - 1) == 0 && *name)
    urlHost = std::string(name) + ":" + std::to_string(port);
  std::string url = "http://" + urlHost + "/";
  if (!access_.token.empty()) url += "#token=" + access_.token;
  std::printf("zyl serve: %s%s\n", url.c_str(), access_.readOnly ? " (read-only)" : "");
  std::fflush(stdout);
  return true;
}

int App::run(const std::function<bool()>& keepRunning) {
  if (!isLoopback(options_.host) && access_.token.empty()) access_.token = generateToken();
  routes();
  if (!bindAndAnnounce()) return 1;
  theApp.store(this);
  z_.SetStatusCallback([] {
    if (App* app = theApp.load()) app->frameArrived();
  });
  z_.SetDebugCallback([] {
    if (App* app = theApp.load()) app->logLine();
  });
  {
    std::lock_guard hold(instrument_);
    const CommunicationState state = z_.GetCommunicationState();
    publishStatus(snapshot(state == CommConnected || state == CommInitialized));
  }
  std::thread status([this] { publisher(); });
  std::promise<void> listened;
  std::future<void> listenerDone = listened.get_future();
  std::thread listener([this, &listened] {
    http_.listen_after_bind();
    listened.set_value();
  });
  while (keepRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(100));

  if (run_.stop()) std::fprintf(stderr, "zyl serve: stopping the run after the scan in flight\n");
  stopping_ = true;
  wake_.notify_all();
  status.join();
  run_.finish();
  hub_.close();
  http_.stop();
  // Connections a client left half-sent hold their worker until the idle limit; the run has
  // ended and the instrument is quiet, so the process need not wait for them.
  const bool quiet = listenerDone.wait_for(std::chrono::seconds(6)) == std::future_status::ready;
  z_.SetStatusCallback(nullptr);
  z_.SetDebugCallback(nullptr);
  theApp.store(nullptr);
  if (!quiet) {
    // A late request waits on the instrument for good instead of reaching it after it is gone.
    instrument_.lock();
    listener.detach();
    return kAbandoned;
  }
  listener.join();
  return 0;
}

}  // namespace

int serve(ZylInterface& z, const Options& options, const std::function<bool()>& keepRunning) {
  auto app = std::make_unique<App>(z, options);
  const int code = app->run(keepRunning);
  if (code != kAbandoned) return code;
  // Its listener still holds connections a client left half-sent; the process ends next.
  abandonedApp = app.release();
  return 0;
}

}  // namespace zyl::serve
