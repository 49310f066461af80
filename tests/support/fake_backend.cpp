#include "support/fake_backend.h"

#include <algorithm>
#include <cstring>

namespace zyl::test {

class FakeHandle : public zyl::usb::UsbHandle {
 public:
  explicit FakeHandle(FakeBackend& backend) : backend_(backend) {}
  const zyl::usb::DeviceDescriptor& descriptor() const override { return backend_.descriptor_; }
  TransferResult bulkTransfer(uint8_t endpoint, uint8_t* data, long& length,
                              uint32_t timeoutMs) override {
    return backend_.transfer(endpoint, data, length, timeoutMs);
  }
  TransferResult vendorRequest(uint8_t request, uint16_t, uint16_t, uint32_t timeoutMs) override {
    return backend_.vendor(request, timeoutMs);
  }
  bool abortPipe(uint8_t endpoint) override {
    backend_.abort(endpoint);
    return true;
  }
  bool resetPipe(uint8_t) override { return true; }
  bool resetParentPort() override { return true; }

 private:
  FakeBackend& backend_;
};

FakeBackend::FakeBackend(int bulkInEndpoints) {
  descriptor_.vendorId = 0x04B4;
  descriptor_.productId = 0x1004;
  descriptor_.highSpeed = true;
  descriptor_.endpoints.push_back({kCommandOut, 2, 512, 0});
  const uint8_t ins[] = {kCommandIn, kStatusIn, kScanIn};
  for (int i = 0; i < bulkInEndpoints && i < 3; ++i)
    descriptor_.endpoints.push_back({ins[i], 2, 512, 0});
  responder = [this](std::string_view command) -> std::optional<std::string> {
    if (command == "-1B05") return version;
    return std::string("ACK");
  };
}

int FakeBackend::deviceCount() {
  std::lock_guard lock(mutex_);
  return unplugged ? 0 : devices;
}

std::unique_ptr<zyl::usb::UsbHandle> FakeBackend::open(int index) {
  std::lock_guard lock(mutex_);
  if (unplugged || index >= devices) return nullptr;
  ++opens_;
  return std::make_unique<FakeHandle>(*this);
}

void FakeBackend::queue(uint8_t endpoint, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  queues_[endpoint].emplace_back(bytes);
  changed_.notify_all();
}

void FakeBackend::fail(uint8_t endpoint, TransferResult why, int times) {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < times; ++i) failures_[endpoint].push_back(why);
}

TransferResult FakeBackend::scriptedFailure(uint8_t endpoint) {
  if (unplugged) return TransferResult::noDevice;
  auto& due = failures_[endpoint];
  if (due.empty()) return TransferResult::ok;
  const TransferResult why = due.front();
  due.pop_front();
  zyl::usb::diagnostic("fake: transfer on endpoint 0x%02x failed: %s", endpoint,
                       zyl::usb::describe(why));
  return why;
}

TransferResult FakeBackend::transfer(uint8_t endpoint, uint8_t* data, long& length,
                                     uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const TransferResult failure = scriptedFailure(endpoint);
  if (endpoint & 0x80) {
    auto& q = queues_[endpoint];
    if (blockingReads && failure == TransferResult::ok && q.empty()) {
      const int abortsBefore = aborts_[endpoint];
      const bool woken = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !q.empty() || unplugged || aborts_[endpoint] != abortsBefore;
      });
      if (woken && q.empty()) {
        length = 0;
        transfers_.push_back({endpoint, {}, timeoutMs, false});
        return unplugged ? TransferResult::noDevice : TransferResult::cancelled;
      }
    }
    if (failure != TransferResult::ok || q.empty()) {
      length = 0;
      transfers_.push_back({endpoint, {}, timeoutMs, false});
      return failure != TransferResult::ok ? failure : TransferResult::timeout;
    }
    std::string& front = q.front();
    const size_t n = std::min(front.size(), static_cast<size_t>(length));
    std::memcpy(data, front.data(), n);
    transfers_.push_back({endpoint, front.substr(0, n), timeoutMs, true});
    if (n == front.size())
      q.pop_front();
    else
      front.erase(0, n);
    length = static_cast<long>(n);
    return TransferResult::ok;
  }
  std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  if (failure != TransferResult::ok || failWrites > 0) {
    if (failure == TransferResult::ok) --failWrites;
    transfers_.push_back({endpoint, bytes, timeoutMs, false});
    length = 0;
    return failure != TransferResult::ok ? failure : TransferResult::other;
  }
  transfers_.push_back({endpoint, bytes, timeoutMs, true});
  auto respond = responder;
  lock.unlock();
  if (respond)
    if (auto reply = respond(bytes)) queue(kCommandIn, *reply);
  return TransferResult::ok;
}

TransferResult FakeBackend::vendor(uint8_t request, uint32_t timeoutMs) {
  std::lock_guard lock(mutex_);
  const TransferResult result = scriptedFailure(0);
  const bool ok = result == TransferResult::ok;
  transfers_.push_back({0, std::string(1, static_cast<char>(request)), timeoutMs, ok});
  if (ok && request == 4)
    for (auto& [endpoint, q] : queues_) q.clear();  // a blocked read may hold one of them
  return result;
}

void FakeBackend::abort(uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  ++aborts_[endpoint];
  changed_.notify_all();
}

std::vector<FakeTransfer> FakeBackend::transfers(int endpoint) const {
  std::lock_guard lock(mutex_);
  std::vector<FakeTransfer> out;
  for (const auto& t : transfers_)
    if (endpoint < 0 || t.endpoint == endpoint) out.push_back(t);
  return out;
}

std::vector<std::string> FakeBackend::writes(std::string_view prefix) const {
  std::vector<std::string> out;
  for (const auto& t : transfers(kCommandOut))
    if (t.ok && t.bytes.starts_with(prefix)) out.push_back(t.bytes);
  return out;
}

int FakeBackend::opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

int FakeBackend::aborts(uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  auto it = aborts_.find(endpoint);
  return it == aborts_.end() ? 0 : it->second;
}

void FakeBackend::clearRecord() {
  std::lock_guard lock(mutex_);
  transfers_.clear();
  aborts_.clear();
  failures_.clear();
  opens_ = 0;
}

}  // namespace zyl::test
