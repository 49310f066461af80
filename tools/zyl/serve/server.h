// zyl serve: one process owns the instrument object and serves the live page and a JSON API.
//
// Threads: httplib's pool answers requests; every call that may send to the instrument holds one
// mutex, so requests, the status publisher and a starting run take turns. While a run acquires,
// the run owns the instrument (the acquisition layer's rule): requests that would change the
// instrument are refused with 409 until it ends, and the status comes from the V3 stream
// (getters that send nothing) or, on older firmware, from the run's once-a-second samples.
//
// Decisions of ours:
//  - The token travels in the header X-Zyl-Token; the page takes it from the URL's #token=
//    fragment (never sent to the server in the request line, so it stays out of logs).
//  - Limits: a body of at most 64 KiB, at most 64 header fields, 5 s for the client to send the
//    next part of a request or to take the next part of the answer, 40 clients on the stream,
//    each with a queue of 64 events of which a slow client loses the oldest.
//  - Runs write to the run folder (--runs, default the current directory) under a plain name
//    ending in .mzML that does not exist yet: a run never replaces a file.
#pragma once

#include <functional>
#include <string>

class ZylInterface;

namespace zyl::serve {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8080;    // 0: any free port (the URL printed says which)
  std::string token;  // empty on loopback: none; elsewhere one is generated
  bool readOnly = false;
  std::string runFolder = ".";  // where runs write their mzML files
};

// Serves until `keepRunning` returns false (checked ten times a second). The URL goes to
// standard output as "zyl serve: URL" once the socket listens. Returns the tool's exit code.
int serve(ZylInterface& z, const Options& options, const std::function<bool()>& keepRunning);

}  // namespace zyl::serve
