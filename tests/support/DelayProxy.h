#pragma once

// A TCP proxy on loopback that delays each direction by a fixed time of its own, standing in for
// a network path (this kernel has no netem). Every chunk read from one side is written to the
// other side its direction's delay after it was read, in the order it was read; the end of a
// direction (a half-close) travels the same way. Only the data is delayed: the connection's
// handshake is answered by this machine's kernel at once, as it always is on loopback.
//
// It listens and connects on 127.x.y.z only, holds a bounded number of connections and a bounded
// amount of data per direction (it stops reading a side that is that far ahead), and ends by
// itself after its lifetime.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tidewell::test {

struct DelayProxyOptions {
  std::string listenAddress = "127.0.0.1";
  std::uint16_t listenPort = 0;  // 0: any free port (see Port())
  std::string upstreamAddress = "127.0.0.1";
  std::uint16_t upstreamPort = 0;
  std::chrono::microseconds upDelay{0};    // client to upstream
  std::chrono::microseconds downDelay{0};  // upstream to client
  std::size_t maxConnections = 256;        // further clients are closed at once
  std::chrono::seconds lifetime{900};      // Run() returns after this at the latest
};

class DelayProxy {
 public:
  // Listens at once; throws std::runtime_error when it cannot, or when an address is not
  // IPv4 loopback.
  explicit DelayProxy(const DelayProxyOptions& options);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  std::uint16_t Port() const;
  // Serves until Stop() or the end of the lifetime.
  void Run();
  // May be called from any thread, before or during Run().
  void Stop();

 private:
  class Loop;
  std::unique_ptr<Loop> loop_;
};

// 127.0.0.0/8 in dotted form.
bool IsIpv4Loopback(const std::string& address);

// "10", "2.5": milliseconds, 0 to 10000, to the microsecond.
std::optional<std::chrono::microseconds> ParseDelayMs(std::string_view text);

}  // namespace tidewell::test
