#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tidewell::test {

// A TCP relay on loopback that holds back every byte for a fixed time in each direction, as a
// network path with that one-way delay would. It listens on `listenAddress:listenPort` (IPv4;
// port 0 picks a free one) and relays each connection to 127.0.0.1:`targetPort`. Connecting is
// not delayed, only the data and the end of each stream. Stopping (or destroying) the relay
// ends every connection.
class DelayingProxy {
 public:
  DelayingProxy(const std::string& listenAddress, std::uint16_t listenPort,
                std::uint16_t targetPort, std::chrono::milliseconds towardTarget,
                std::chrono::milliseconds towardClient);
  ~DelayingProxy();
  DelayingProxy(const DelayingProxy&) = delete;
  DelayingProxy& operator=(const DelayingProxy&) = delete;

  std::uint16_t Port() const { return port_; }
  void Stop();

 private:
  void AcceptLoop();
  // Relays what `from` sends to `to`, each piece `delay` after it came; ends `to`'s stream
  // after `from`'s.
  void Relay(int from, int to, std::chrono::milliseconds delay);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t targetPort_ = 0;
  std::chrono::milliseconds towardTarget_;
  std::chrono::milliseconds towardClient_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<int> sockets_;
  std::vector<std::thread> relays_;
  std::thread acceptor_;
};

}  // namespace tidewell::test
