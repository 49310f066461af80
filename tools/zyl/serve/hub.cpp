#include "tools/zyl/serve/hub.h"

#include <algorithm>

namespace zyl::serve {

std::vector<Hub::Frame> Hub::Client::take(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return closed_ || !queue_.empty(); });
  std::vector<Frame> out(queue_.begin(), queue_.end());
  queue_.clear();
  return out;
}

size_t Hub::Client::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::shared_ptr<Hub::Client> Hub::subscribe(std::vector<Frame> greeting) {
  std::lock_guard lock(mutex_);
  if (closed_ || clients_.size() >= clientLimit_) return nullptr;
  auto client = std::make_shared<Client>();
  client->queue_.assign(greeting.begin(), greeting.end());
  clients_.push_back(client);
  return client;
}

void Hub::unsubscribe(const std::shared_ptr<Client>& client) {
  std::lock_guard lock(mutex_);
  std::erase(clients_, client);
}

Hub::Frame Hub::frame(const std::string& event, const std::string& data) {
  return std::make_shared<const std::string>("event: " + event + "\ndata: " + data + "\n\n");
}

void Hub::publish(const std::string& event, const std::string& data) {
  const Frame f = frame(event, data);
  std::lock_guard lock(mutex_);
  for (const auto& client : clients_) {
    {
      std::lock_guard clientLock(client->mutex_);
      if (client->queue_.size() >= queueLimit_) {
        client->queue_.pop_front();
        ++client->dropped_;
      }
      client->queue_.push_back(f);
    }
    client->ready_.notify_one();
  }
}

void Hub::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (const auto& client : clients_) {
    std::lock_guard clientLock(client->mutex_);
    client->closed_ = true;
    client->ready_.notify_all();
  }
}

size_t Hub::clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

}  // namespace zyl::serve
