// TTcpRelay: a TCP relay on loopback between one client and a target port,
// on a thread of its own. It forwards every byte each way, shows a copy of
// each to an optional observer, and can stop reading what the client sends
// (HoldUp), so that the client's socket fills as when its peer does not read
// it. Tests and benchmarks put it between a client and a server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace tw::test {

class TTcpRelay {
 public:
  // Called on the relay's thread with the bytes of one read; `up`: from the client.
  using TObserver = std::function<void(bool up, std::string_view bytes)>;

  // Listens on a free loopback port and relays its first connection to `target`.
  explicit TTcpRelay(uint16_t target, TObserver observer = {});
  ~TTcpRelay();  // stops the thread and closes both connections
  TTcpRelay(const TTcpRelay&) = delete;
  TTcpRelay& operator=(const TTcpRelay&) = delete;

  uint16_t Port() const;
  // While held, nothing the client sends is read.
  void HoldUp(bool hold);

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace tw::test
