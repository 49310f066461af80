// A serial channel wired to a terminal (a pseudo-terminal or a serial adapter) rather than to a
// simulated device: the peer behind it answers in its own time, so what it sent is collected
// whenever the host asks whether a byte is waiting.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim/serial_ports.h"
#include "zyl/sim/Instrument.h"

namespace zyl::sim {
namespace {

// Raw bytes both ways: no echo, no line editing, no translation of CR or LF.
bool makeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

class TerminalBridge : public SerialDevice {
 public:
  // `fd` carries the traffic; `keep` (or -1) is the slave side of a pseudo-terminal, held open so
  // that the master does not see a hang-up while no peer has the terminal open.
  TerminalBridge(int fd, int keep, int lineSetting) : fd_(fd), keep_(keep), line_(lineSetting) {}
  ~TerminalBridge() override {
    close(fd_);
    if (keep_ >= 0) close(keep_);
  }
  TerminalBridge(const TerminalBridge&) = delete;
  TerminalBridge& operator=(const TerminalBridge&) = delete;

  int lineSetting() const override { return line_; }

  void receive(FirmwareContext&, std::span<const uint8_t> bytes,
               std::deque<uint8_t>& answer) override {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0) break;  // a peer that reads nothing loses the rest
      } else if (n < 0 && errno != EINTR) {
        break;
      }
    }
    collect(answer);
  }

  void collect(std::deque<uint8_t>& answer) override {
    uint8_t buffer[256];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        answer.insert(answer.end(), buffer, buffer + n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;  // nothing more now (EAGAIN), or no peer (EIO)
      }
    }
  }

 private:
  int fd_;
  int keep_;
  int line_;
};

}  // namespace

std::string Instrument::bridgeSerialPort(int channel, const std::string& terminal) {
  int fd = -1, keep = -1;
  std::string peer = terminal;
  if (terminal.empty()) {
    fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0) {
      char name[128];
      if (ptsname_r(fd, name, sizeof name) == 0) {
        peer = name;
        keep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
      }
    }
    if (keep < 0 || !makeRaw(keep)) peer.clear();
  } else {
    fd = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !makeRaw(fd)) peer.clear();
  }
  const bool bridged = !peer.empty() && withFirmware([&](FirmwareContext& f) {
    SerialPort* port = f.state().part<SerialPorts>().port(channel);
    if (!port) return false;
    const int line = port->device ? port->device->lineSetting() : 3;
    port->device = std::make_shared<TerminalBridge>(fd, keep, line);
    port->received.clear();
    return true;
  });
  if (bridged) return peer;
  if (fd >= 0) close(fd);
  if (keep >= 0) close(keep);
  return {};
}

}  // namespace zyl::sim
