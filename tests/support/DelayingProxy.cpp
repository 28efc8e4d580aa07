#include "DelayingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <deque>
#include <stdexcept>
#include <string>
#include <utility>

namespace tidewell::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a relay with nothing to do looks whether the proxy is stopping.
constexpr int kIdleWaitMs = 50;
constexpr std::size_t kReadChunk = 16 * 1024;
// A relay never holds more than this; beyond it, it stops reading until the rest has gone.
constexpr std::size_t kMaxHeld = 4 * 1024 * 1024;

sockaddr_in LoopbackAddress(const std::string& address, std::uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + address);
  }
  return socketAddress;
}

bool SendAll(int socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

struct Piece {
  SteadyClock::time_point due;
  std::string bytes;  // empty: the end of the stream
};

}  // namespace

DelayingProxy::DelayingProxy(const std::string& listenAddress, std::uint16_t listenPort,
                             std::uint16_t targetPort, std::chrono::milliseconds towardTarget,
                             std::chrono::milliseconds towardClient)
    : targetPort_(targetPort), towardTarget_(towardTarget), towardClient_(towardClient) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = LoopbackAddress(listenAddress, listenPort);
  socklen_t length = sizeof address;
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) close(listener_);
    throw std::runtime_error("the delaying proxy cannot listen on " + listenAddress);
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

DelayingProxy::~DelayingProxy() { Stop(); }

void DelayingProxy::Stop() {
  if (stopping_.exchange(true)) return;
  shutdown(listener_, SHUT_RDWR);  // wakes the acceptor
  if (acceptor_.joinable()) acceptor_.join();
  close(listener_);
  {
    std::lock_guard lock(mutex_);
    for (const int socket : sockets_) shutdown(socket, SHUT_RDWR);
  }
  for (std::thread& relay : relays_) relay.join();
  for (const int socket : sockets_) close(socket);
}

void DelayingProxy::AcceptLoop() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, kIdleWaitMs) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackAddress("127.0.0.1", targetPort_);
    if (target < 0 ||
        connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(client);
      if (target >= 0) close(target);
      continue;
    }
    std::lock_guard lock(mutex_);
    sockets_.push_back(client);
    sockets_.push_back(target);
    relays_.emplace_back([this, client, target] { Relay(client, target, towardTarget_); });
    relays_.emplace_back([this, client, target] { Relay(target, client, towardClient_); });
  }
}

void DelayingProxy::Relay(int from, int to, std::chrono::milliseconds delay) {
  std::deque<Piece> held;
  std::size_t heldBytes = 0;
  bool fromEnded = false;
  while (!stopping_) {
    if (!held.empty() && held.front().due <= SteadyClock::now()) {
      Piece piece = std::move(held.front());
      held.pop_front();
      heldBytes -= piece.bytes.size();
      if (piece.bytes.empty()) {
        shutdown(to, SHUT_WR);
        return;
      }
      if (!SendAll(to, piece.bytes)) {
        shutdown(from, SHUT_RD);
        return;
      }
      continue;
    }
    // Waits to the nanosecond, so the delay is what was asked for, not rounded up.
    auto wait = std::chrono::nanoseconds{std::chrono::milliseconds{kIdleWaitMs}};
    if (!held.empty()) wait = std::min(wait, held.front().due - SteadyClock::now());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(wait);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>((wait - seconds).count())};
    const bool reading = !fromEnded && heldBytes < kMaxHeld;
    pollfd waiting{from, POLLIN, 0};
    // Not reading, only the time passes: a hung-up socket would wake the wait at once.
    if (ppoll(&waiting, reading ? 1 : 0, &timeout, nullptr) <= 0 || !reading) continue;
    char chunk[kReadChunk];
    const ssize_t got = recv(from, chunk, sizeof chunk, 0);
    const auto due = SteadyClock::now() + delay;
    if (got > 0) {
      held.push_back({due, std::string(chunk, static_cast<std::size_t>(got))});
      heldBytes += static_cast<std::size_t>(got);
    } else {
      fromEnded = true;  // the end of the stream, or a broken one: passed on as an end
      held.push_back({due, {}});
    }
  }
}

}  // namespace tidewell::test
