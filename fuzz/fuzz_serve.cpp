// What zyl serve reads from the network before anything reaches the instrument: the JSON bodies
// of its POST requests and the headers that decide who may change the instrument. The first input
// byte chooses the check, the rest is the body (or, for the access check, the Host, Origin and
// token header values separated by newlines). Beyond memory safety it checks that whatever is
// accepted is within what the instrument may be sent, and that no change passes without the
// exact token and this server's own Origin.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tools/zyl/serve/requests.h"

namespace {

using namespace zyl::serve;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

void expect(bool holds, const char* what) {
  if (!holds) fail(what);
}

template <class T>
std::optional<T> accepted(Parsed<T> parsed) {
  if (const Refusal* r = std::get_if<Refusal>(&parsed)) {
    expect(r->status == 400 && !r->message.empty(), "a refusal without its 400 and words");
    return std::nullopt;
  }
  return std::get<T>(std::move(parsed));
}

void checkAccess(std::string_view text) {
  const size_t a = text.find('\n');
  const size_t b = a == std::string_view::npos ? a : text.find('\n', a + 1);
  if (b == std::string_view::npos) return;
  const std::string_view host = text.substr(0, a), origin = text.substr(a + 1, b - a - 1),
                         token = text.substr(b + 1);
  for (const bool readOnly : {false, true})
    for (const char* secret : {"", "0123456789abcdef0123456789abcdef"}) {
      const Access access{secret, readOnly, hostNames("127.0.0.1", 8080)};
      if (checkChange(access, host, origin, token)) continue;
      expect(!readOnly, "a change passed a read-only server");
      expect(token == secret || !*secret, "a change passed without the exact token");
      expect(origin == "http://" + std::string(host), "a change passed with another Origin");
      expect(
          *secret || host == "127.0.0.1:8080" || host == "localhost:8080" || host == "[::1]:8080",
          "a change passed for another host without a token");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      accepted(parsePump(body));
      break;
    case 1:
      if (const auto c = accepted(parseHeater(body))) {
        expect(c->on || c->setpoint, "a heater change that changes nothing");
        expect(!c->setpoint || (*c->setpoint >= 0 && *c->setpoint <= 500),
               "a set-point outside 0-500 °C");
      }
      break;
    case 2:
      if (const auto dacs = accepted(parseDacs(body))) {
        expect(!dacs->empty() && dacs->size() <= 16, "not 1 to 16 DAC channels");
        for (const DacChange& c : *dacs)
          expect(c.channel <= 15 && (c.ramped || c.span == 0), "a DAC channel beyond 0-15");
      }
      break;
    case 3:
      if (const auto r = accepted(parseRun(body)); r && r->start) {
        expect(r->from >= 0 && r->from < r->to && r->to <= 65535, "a scan range out of order");
        expect(r->timeMs >= 1, "a scan time of 0");
        expect((r->scans > 0) != (r->durationS > 0), "neither or both of scans and duration");
        expect(!checkRunFileName(r->out), "a run file name the check refuses");
        expect(r->out.find('/') == std::string::npos && r->out.front() != '.',
               "a run file outside the run folder");
      }
      break;
    default:
      checkAccess(body);
  }
  return 0;
}
