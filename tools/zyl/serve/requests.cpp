#include "tools/zyl/serve/requests.h"

#include <cmath>
#include <random>

#include <nlohmann/json.hpp>

#include "surface/checks.h"

namespace zyl::serve {
namespace {

using nlohmann::json;

Refusal bad(std::string message) {
  return {400, std::move(message)};
}

// Our bodies are flat: a deeper one is refused before the parser builds it.
bool shallow(std::string_view body, int limit) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

// The body as a JSON object holding only `allowed` members, or why not.
std::variant<json, Refusal> object(std::string_view body,
                                   std::initializer_list<const char*> allowed) {
  if (!shallow(body, 3)) return bad("the body nests too deeply");
  json doc = json::parse(body, nullptr, false);
  if (doc.is_discarded()) return bad("the body is not JSON");
  if (!doc.is_object()) return bad("the body must be a JSON object");
  for (const auto& [key, value] : doc.items()) {
    bool known = false;
    for (const char* name : allowed) known = known || key == name;
    if (!known) return bad("unknown member \"" + key + "\"");
  }
  return doc;
}

// A whole number in [low, high] at `key`; `fallback` when absent.
std::optional<long long> integer(const json& doc, const char* key, long long low, long long high,
                                 std::string& error) {
  auto it = doc.find(key);
  if (it == doc.end()) return std::nullopt;
  if (!it->is_number_integer() || it->get<long long>() < low || it->get<long long>() > high) {
    if (error.empty())
      error = std::string("\"") + key + "\" must be a whole number from " + std::to_string(low) +
              " to " + std::to_string(high);
    return std::nullopt;
  }
  return it->get<long long>();
}

std::optional<double> number(const json& doc, const char* key, double low, double high,
                             std::string& error) {
  auto it = doc.find(key);
  if (it == doc.end()) return std::nullopt;
  if (!it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < low ||
      it->get<double>() > high) {
    if (error.empty()) {
      char text[160];
      std::snprintf(text, sizeof text, "\"%s\" must be a number from %g to %g", key, low, high);
      error = text;
    }
    return std::nullopt;
  }
  return it->get<double>();
}

// A number in `limit` at `key` with the shared check's words; nothing when absent or refused
// (then `error` holds why, unless an earlier member was refused first).
std::optional<double> within(const json& doc, const char* key, const surface::Limit& limit,
                             std::string& error) {
  auto it = doc.find(key);
  if (it == doc.end()) return std::nullopt;
  std::string why = !it->is_number() ? "\"" + std::string(key) + "\" must be a number"
                                     : surface::checkValue(limit, it->get<double>());
  if (why.empty()) return it->get<double>();
  if (error.empty()) error = why;
  return std::nullopt;
}

bool sameText(std::string_view a, std::string_view b) {
  // Compared in full whatever the first difference, so the time says nothing about the token.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ (i < b.size() ? b[i] : 0);
  return diff == 0;
}

}  // namespace

bool isLoopback(std::string_view address) {
  if (address == "localhost" || address == "::1" || address == "[::1]") return true;
  if (!address.starts_with("127.")) return false;
  int dots = 0;
  for (char c : address) {
    if (c == '.')
      ++dots;
    else if (c < '0' || c > '9')
      return false;
  }
  return dots == 3;
}

std::string generateToken() {
  std::random_device random;
  std::string token;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    const unsigned word = random();
    for (int k = 0; k < 4; ++k)
      token += kHex[(word >> (8 * k + 4)) & 15], token += kHex[(word >> 8 * k) & 15];
  }
  return token;
}

std::vector<std::string> hostNames(std::string_view host, int port) {
  const std::string suffix = ":" + std::to_string(port);
  const bool v6 = host.find(':') != std::string_view::npos;
  std::vector<std::string> names{(v6 ? "[" + std::string(host) + "]" : std::string(host)) + suffix};
  if (isLoopback(host))
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) names.push_back(name + suffix);
  return names;
}

std::optional<Refusal> checkHost(const Access& access, std::string_view host) {
  if (!access.token.empty()) return std::nullopt;
  for (const std::string& name : access.hosts)
    if (host == name) return std::nullopt;
  return Refusal{403, "this server answers to " +
                          (access.hosts.empty() ? std::string("no host") : access.hosts.front()) +
                          ", not to \"" + std::string(host) + "\""};
}

std::optional<Refusal> checkChange(const Access& access, std::string_view host,
                                   std::string_view origin, std::string_view token) {
  if (access.readOnly) return Refusal{403, "this server is read-only (--read-only)"};
  if (!access.token.empty() && !sameText(token, access.token))
    return Refusal{403, token.empty() ? "this request needs the server's token (X-Zyl-Token)"
                                      : "the token is wrong"};
  if (origin.empty() || origin != "http://" + std::string(host))
    return Refusal{403, "the request's Origin is not this server's"};
  return checkHost(access, host);
}

Parsed<PumpAction> parsePump(std::string_view body) {
  auto doc = object(body, {"pump"});
  if (auto* refusal = std::get_if<Refusal>(&doc)) return *refusal;
  const json& j = std::get<json>(doc);
  const auto it = j.find("pump");
  if (it != j.end() && it->is_string()) {
    if (*it == "on") return PumpAction::On;
    if (*it == "standby") return PumpAction::Standby;
    if (*it == "off") return PumpAction::Off;
  }
  return bad("\"pump\" must be \"on\", \"standby\" or \"off\"");
}

Parsed<HeaterChange> parseHeater(std::string_view body) {
  auto doc = object(body, {"on", "setpoint_c"});
  if (auto* refusal = std::get_if<Refusal>(&doc)) return *refusal;
  const json& j = std::get<json>(doc);
  HeaterChange change;
  std::string error;
  if (auto t = within(j, "setpoint_c", surface::kHeaterSetpoint, error))
    change.setpoint = static_cast<float>(*t);
  if (!error.empty()) return bad(error);
  if (auto it = j.find("on"); it != j.end()) {
    if (!it->is_boolean()) return bad("\"on\" must be true or false");
    change.on = it->get<bool>();
  }
  if (!change.on && !change.setpoint)
    return bad("give \"on\" (true/false), \"setpoint_c\" or both");
  return change;
}

Parsed<std::vector<DacChange>> parseDacs(std::string_view body) {
  auto doc = object(body, {"channels"});
  if (auto* refusal = std::get_if<Refusal>(&doc)) return *refusal;
  const json& j = std::get<json>(doc);
  const auto list = j.find("channels");
  if (list == j.end() || !list->is_array() || list->empty() || list->size() > 16)
    return bad("\"channels\" must list 1 to 16 channels");
  std::vector<DacChange> out;
  for (const json& entry : *list) {
    if (!entry.is_object()) return bad("each channel is an object");
    std::string error;
    for (const auto& [key, value] : entry.items())
      if (key != "channel" && key != "base" && key != "span" && key != "value")
        return bad("unknown member \"" + key + "\" of a channel");
    const auto channel = within(entry, "channel", surface::kDacChannel, error);
    const auto base = integer(entry, "base", -32768, 32767, error);
    const auto span = integer(entry, "span", -32768, 32767, error);
    const auto value = integer(entry, "value", -32768, 32767, error);
    if (!error.empty()) return bad(error);
    if (!channel) return bad("each channel needs \"channel\" (0-15)");
    if (value ? (base || span) : !base)
      return bad("a channel takes \"value\" (constant) or \"base\" with \"span\" (scanned)");
    out.push_back({static_cast<unsigned>(*channel), !value,
                   static_cast<short>(value ? *value : *base),
                   static_cast<short>(span ? *span : 0)});
  }
  return out;
}

std::optional<Refusal> checkRunFileName(std::string_view name) {
  const bool plain = !name.empty() && name.size() <= 200 && name.front() != '.' &&
                     name.find_first_of("/\\") == std::string_view::npos &&
                     name.find('\0') == std::string_view::npos;
  if (plain && name.ends_with(".mzML") && name.size() > 5) return std::nullopt;
  return bad(
      "\"out\" must be a plain file name ending in .mzML (it is written in the server's "
      "run folder)");
}

Parsed<RunRequest> parseRun(std::string_view body) {
  auto doc =
      object(body, {"action", "from", "to", "time_ms", "scans", "duration_s", "out", "centroid"});
  if (auto* refusal = std::get_if<Refusal>(&doc)) return *refusal;
  const json& j = std::get<json>(doc);
  RunRequest run;
  const auto action = j.find("action");
  if (action == j.end() || !action->is_string() || (*action != "start" && *action != "stop"))
    return bad("\"action\" must be \"start\" or \"stop\"");
  run.start = *action == "start";
  if (!run.start) return j.size() == 1 ? Parsed<RunRequest>(run) : bad("stop takes no settings");
  std::string error;
  const auto from = within(j, "from", surface::kScanPosition, error);
  const auto to = within(j, "to", surface::kScanPosition, error);
  const auto time = within(j, "time_ms", surface::kScanTime, error);
  const auto scans = integer(j, "scans", 1, 10000000, error);
  const auto duration = number(j, "duration_s", 0.001, 7 * 86400.0, error);
  if (!error.empty()) return bad(error);
  if (!from || !to || !time) return bad("a run needs \"from\", \"to\" and \"time_ms\"");
  if (std::string why =
          surface::checkScan(static_cast<long long>(*from), static_cast<long long>(*to),
                             static_cast<long long>(*time));
      !why.empty())
    return bad(why);
  if (scans.has_value() == duration.has_value())
    return bad("a run needs either \"scans\" or \"duration_s\"");
  const auto out = j.find("out");
  if (out == j.end() || !out->is_string()) return bad("a run needs \"out\", the mzML file name");
  if (auto refusal = checkRunFileName(out->get<std::string>())) return *refusal;
  const auto centroid = j.find("centroid");
  if (centroid != j.end() && !centroid->is_boolean())
    return bad("\"centroid\" must be true or false");
  run.from = static_cast<int>(*from);
  run.to = static_cast<int>(*to);
  run.timeMs = static_cast<unsigned>(*time);
  run.scans = scans ? static_cast<unsigned>(*scans) : 0;
  run.durationS = duration.value_or(0);
  run.out = out->get<std::string>();
  run.centroid = centroid != j.end() && centroid->get<bool>();
  return run;
}

}  // namespace zyl::serve
