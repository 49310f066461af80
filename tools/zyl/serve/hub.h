// The live stream's fan-out: every event is formatted once and queued for each watching client.
// A client's queue is bounded; when a client reads too slowly its oldest events are dropped, so a
// slow client never holds up the instrument or another client, and memory stays bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zyl::serve {

class Hub {
 public:
  using Frame = std::shared_ptr<const std::string>;

  class Client {
   public:
    // The frames queued so far, waiting up to `timeout` for the first; empty when none came or
    // the hub closed.
    std::vector<Frame> take(std::chrono::milliseconds timeout);
    size_t dropped() const;

   private:
    friend class Hub;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Frame> queue_;
    size_t dropped_ = 0;
    bool closed_ = false;
  };

  explicit Hub(size_t queueLimit = 64, size_t clientLimit = 40)
      : queueLimit_(queueLimit), clientLimit_(clientLimit) {}
  // A new client that first receives `greeting` (the latest state); null when there are as many
  // clients as allowed.
  std::shared_ptr<Client> subscribe(std::vector<Frame> greeting);
  void unsubscribe(const std::shared_ptr<Client>& client);
  // Queues an SSE event ("event: NAME\ndata: DATA\n\n") for every client.
  void publish(const std::string& event, const std::string& data);
  static Frame frame(const std::string& event, const std::string& data);
  // Wakes every client for good (the server stops).
  void close();
  size_t clients() const;

 private:
  const size_t queueLimit_;
  const size_t clientLimit_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Client>> clients_;
  bool closed_ = false;
};

}  // namespace zyl::serve
