// What zyl serve accepts from the network, checked before anything reaches the instrument: who may
// change it (token, origin, host) and the JSON bodies of the requests that change it. Nothing here
// touches the instrument or the network, so the fuzz target and the server share it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zyl::serve {

// A refusal: the HTTP status and a sentence for the user.
struct Refusal {
  int status = 400;
  std::string message;
};

// Who may do what on this server.
struct Access {
  std::string token;               // empty: no token asked for (loopback only)
  bool readOnly = false;           // no request changes the instrument
  std::vector<std::string> hosts;  // Host header values the server answers to ("127.0.0.1:8080")
};

// True for addresses that only this machine reaches: 127.0.0.0/8, ::1, "localhost".
bool isLoopback(std::string_view address);
// 128 random bits as 32 hexadecimal digits.
std::string generateToken();
// Names the server answers to when listening on `host`:`port` (loopback names added on loopback).
std::vector<std::string> hostNames(std::string_view host, int port);

// Any request: the Host header must name this server unless a token guards every change (a
// page on another site that a DNS name rebound to 127.0.0.1 must not talk to it).
std::optional<Refusal> checkHost(const Access& access, std::string_view host);
// A request that changes the instrument: not read-only, the token header when one is set, and an
// Origin header naming this server (so no page of another site can send it).
std::optional<Refusal> checkChange(const Access& access, std::string_view host,
                                   std::string_view origin, std::string_view token);

// Bodies of the requests that change the instrument, with the tool's names.
enum class PumpAction { On, Standby, Off };
struct HeaterChange {
  std::optional<float> setpoint;  // "setpoint_c", set first
  std::optional<bool> on;         // "on"
};
struct DacChange {
  unsigned channel = 0;  // 0-15
  bool ramped = false;   // "base" and "span": moves with the scan; "value": constant (in base)
  short base = 0;
  short span = 0;
};
struct RunRequest {
  bool start = true;  // "action": "start" or "stop"
  int from = 0;       // scan positions, from below to
  int to = 0;
  unsigned timeMs = 0;  // "time_ms": per scan
  unsigned scans = 0;   // "scans" or "duration_s" (0 when not given)
  double durationS = 0;
  std::string out;  // "out": mzML file name, relative to the server's run folder
  bool centroid = false;
};

template <typename T>
using Parsed = std::variant<T, Refusal>;

Parsed<PumpAction> parsePump(std::string_view body);
Parsed<HeaterChange> parseHeater(std::string_view body);
Parsed<std::vector<DacChange>> parseDacs(std::string_view body);
Parsed<RunRequest> parseRun(std::string_view body);
// A run's output name: one plain file name ending in ".mzML", no folders, no hidden files.
std::optional<Refusal> checkRunFileName(std::string_view name);

}  // namespace zyl::serve
