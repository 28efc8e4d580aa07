#include "DelayProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>
#include <utility>

#include "UniqueFd.h"

namespace tidewell::test {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timerfd below

constexpr std::size_t kReadSize = 16 * 1024;
// A side that is this far ahead of its delayed writes is not read until they catch up.
constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;
constexpr int kMaxEvents = 64;
constexpr int kListenBacklog = 128;
constexpr double kMaxDelayMs = 10000;

// epoll tags: the fixed descriptors, then two per connection (client side, upstream side).
constexpr std::uint64_t kListenerTag = 1;
constexpr std::uint64_t kTimerTag = 2;
constexpr std::uint64_t kStopTag = 3;
constexpr std::uint64_t kFirstConnectionId = 4;

using tools::UniqueFd;

sockaddr_in Ipv4(const std::string& address, std::uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (!IsIpv4Loopback(address) || ::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 loopback address: " + address);
  }
  return where;
}

// Small writes go out as they are released: Nagle's wait for an acknowledgement would add a
// delay of its own to the second chunk of a reply.
void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

timespec AbsoluteTimespec(Clock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  return {static_cast<time_t>(seconds.count()),
          static_cast<long>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())};
}

// One direction of a connection: what was read from `from` and is waiting to go to `to`.
struct Direction {
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: `from` ended here, and `to` is to be told so
  };
  int from = -1;
  int to = -1;
  std::chrono::microseconds delay{0};
  std::deque<Chunk> chunks;
  std::size_t sentOfFront = 0;
  std::size_t queuedBytes = 0;
  bool sourceEnded = false;  // end of stream read from `from`
  bool finished = false;     // and passed on to `to`
  bool blocked = false;      // `to` took no more; waiting until it is writable

  bool WantsRead() const { return !sourceEnded && queuedBytes < kMaxQueuedBytes; }
  std::optional<Clock::time_point> NextDue() const {
    if (blocked || chunks.empty()) return std::nullopt;
    return chunks.front().due;
  }
};

struct Connection {
  UniqueFd client;
  UniqueFd upstream;
  Direction up;                    // client to upstream
  Direction down;                  // upstream to client
  std::uint32_t clientEvents = 0;  // as registered with epoll; 0: not registered
  std::uint32_t upstreamEvents = 0;
  bool broken = false;

  bool Done() const { return broken || (up.finished && down.finished); }
};

// Reads what `d.from` has, stamping each chunk with its release time. False on a broken side.
bool ReadSide(Direction& d) {
  char buffer[kReadSize];
  while (d.WantsRead()) {
    const ssize_t got = ::read(d.from, buffer, sizeof buffer);
    if (got > 0) {
      d.chunks.push_back({Clock::now() + d.delay, std::string(buffer, static_cast<size_t>(got))});
      d.queuedBytes += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) {
      d.sourceEnded = true;
      d.chunks.push_back({Clock::now() + d.delay, {}});
      return true;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  return true;
}

// Writes every chunk that is due by `now`, in order. False on a broken side.
bool FlushSide(Direction& d, Clock::time_point now) {
  while (!d.blocked && !d.chunks.empty() && d.chunks.front().due <= now) {
    Direction::Chunk& front = d.chunks.front();
    if (front.bytes.empty()) {
      ::shutdown(d.to, SHUT_WR);
      d.finished = true;
      d.chunks.pop_front();
      return true;
    }
    const ssize_t sent = ::send(d.to, front.bytes.data() + d.sentOfFront,
                                front.bytes.size() - d.sentOfFront, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        d.blocked = true;
        return true;
      }
      return false;
    }
    d.sentOfFront += static_cast<std::size_t>(sent);
    if (d.sentOfFront == front.bytes.size()) {
      d.queuedBytes -= front.bytes.size();
      d.sentOfFront = 0;
      d.chunks.pop_front();
    }
  }
  return true;
}

}  // namespace

bool IsIpv4Loopback(const std::string& address) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  return (ntohl(parsed.s_addr) >> 24) == 127;
}

std::optional<std::chrono::microseconds> ParseDelayMs(std::string_view text) {
  double ms = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), ms, std::chars_format::fixed);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(ms) || ms < 0 || ms > kMaxDelayMs) return std::nullopt;
  return std::chrono::microseconds{std::llround(ms * 1000)};
}

class DelayProxy::Loop {
 public:
  explicit Loop(const DelayProxyOptions& options)
      : options_(options), upstream_(Ipv4(options.upstreamAddress, options.upstreamPort)) {
    const sockaddr_in listenAt = Ipv4(options.listenAddress, options.listenPort);
    listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (listener_.get() < 0 ||
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&listenAt), sizeof listenAt) !=
            0 ||
        ::listen(listener_.get(), kListenBacklog) != 0) {
      throw std::runtime_error("cannot listen on " + options.listenAddress + ":" +
                               std::to_string(options.listenPort) + ": " + std::strerror(errno));
    }
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &size);
    port_ = ntohs(bound.sin_port);

    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    timer_ = UniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    stop_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (epoll_.get() < 0 || timer_.get() < 0 || stop_.get() < 0) {
      throw std::runtime_error(std::string("cannot set up the event loop: ") +
                               std::strerror(errno));
    }
    Watch(listener_.get(), EPOLLIN, kListenerTag, EPOLL_CTL_ADD);
    Watch(timer_.get(), EPOLLIN, kTimerTag, EPOLL_CTL_ADD);
    Watch(stop_.get(), EPOLLIN, kStopTag, EPOLL_CTL_ADD);
  }

  std::uint16_t Port() const { return port_; }

  void Stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stop_.get(), &one, sizeof one);
  }

  void Run() {
    const auto end = Clock::now() + options_.lifetime;
    epoll_event events[kMaxEvents];
    while (!stopped_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) break;
      ArmTimer();
      const int count = ::epoll_wait(epoll_.get(), events, kMaxEvents,
                                     static_cast<int>(std::min<long long>(left.count(), 60000)));
      if (count < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
      }
      for (int i = 0; i < count; ++i) Dispatch(events[i]);
      const auto now = Clock::now();
      for (auto& [id, connection] : connections_) {
        if (!connection.broken) {
          connection.broken = !FlushSide(connection.up, now) || !FlushSide(connection.down, now);
        }
      }
      Tidy();
    }
  }

 private:
  static std::uint64_t Tag(std::uint64_t id, bool upstreamSide) {
    return id * 2 + (upstreamSide ? 1 : 0);
  }

  void Watch(int fd, std::uint32_t events, std::uint64_t tag, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    if (::epoll_ctl(epoll_.get(), operation, fd, &event) != 0 && operation != EPOLL_CTL_DEL) {
      throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
    }
  }

  void Dispatch(const epoll_event& event) {
    const std::uint64_t tag = event.data.u64;
    if (tag == kListenerTag) return AcceptAll();
    if (tag == kTimerTag) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t ignored =
          ::read(timer_.get(), &expirations, sizeof expirations);
      return;
    }
    if (tag == kStopTag) {
      stopped_ = true;
      return;
    }
    const auto found = connections_.find(tag / 2);
    if (found == connections_.end() || found->second.broken) return;
    Connection& connection = found->second;
    const bool upstreamSide = (tag % 2) == 1;
    Direction& outOf = upstreamSide ? connection.down : connection.up;
    Direction& into = upstreamSide ? connection.up : connection.down;
    // A reset side has nothing more to give or take; the connection goes with it.
    if ((event.events & EPOLLERR) != 0) {
      connection.broken = true;
      return;
    }
    if ((event.events & EPOLLOUT) != 0) into.blocked = false;
    if ((event.events & (EPOLLIN | EPOLLHUP)) != 0 && outOf.WantsRead()) {
      connection.broken = !ReadSide(outOf);
    }
  }

  void AcceptAll() {
    while (true) {
      UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (client.get() < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // EAGAIN, or out of descriptors: the rest wait in the backlog
      }
      if (connections_.size() >= options_.maxConnections) continue;
      UniqueFd upstream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      // A loopback connect completes (or is refused) at once, so it may block.
      if (upstream.get() < 0 ||
          ::connect(upstream.get(), reinterpret_cast<const sockaddr*>(&upstream_),
                    sizeof upstream_) != 0) {
        continue;  // the client sees its connection closed
      }
      ::fcntl(upstream.get(), F_SETFL, ::fcntl(upstream.get(), F_GETFL) | O_NONBLOCK);
      NoDelay(client.get());
      NoDelay(upstream.get());
      Connection& connection = connections_[nextId_++];
      connection.up.from = connection.down.to = client.get();
      connection.down.from = connection.up.to = upstream.get();
      connection.up.delay = options_.upDelay;
      connection.down.delay = options_.downDelay;
      connection.client = std::move(client);
      connection.upstream = std::move(upstream);
    }
  }

  // Closes finished and broken connections and brings every other side's epoll interest up to
  // date. A side that wants nothing leaves epoll: a half-closed socket would otherwise report
  // EPOLLHUP on every wait while its last chunk is still being delayed.
  void Tidy() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      Connection& c = it->second;
      if (c.Done()) {
        if (c.clientEvents != 0) Watch(c.client.get(), 0, 0, EPOLL_CTL_DEL);
        if (c.upstreamEvents != 0) Watch(c.upstream.get(), 0, 0, EPOLL_CTL_DEL);
        it = connections_.erase(it);
        continue;
      }
      Update(c.client.get(), c.clientEvents, Wanted(c.up, c.down), Tag(it->first, false));
      Update(c.upstream.get(), c.upstreamEvents, Wanted(c.down, c.up), Tag(it->first, true));
      ++it;
    }
  }

  static std::uint32_t Wanted(const Direction& outOf, const Direction& into) {
    return (outOf.WantsRead() ? EPOLLIN : 0u) | (into.blocked ? EPOLLOUT : 0u);
  }

  void Update(int fd, std::uint32_t& registered, std::uint32_t wanted, std::uint64_t tag) {
    if (wanted == registered) return;
    if (wanted == 0) {
      Watch(fd, 0, tag, EPOLL_CTL_DEL);
    } else {
      Watch(fd, wanted, tag, registered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
    }
    registered = wanted;
  }

  // The timer fires when the earliest waiting chunk is due; disarmed when none waits.
  void ArmTimer() {
    std::optional<Clock::time_point> earliest;
    for (const auto& [id, connection] : connections_) {
      for (const Direction* d : {&connection.up, &connection.down}) {
        const auto due = d->NextDue();
        if (due && (!earliest || *due < *earliest)) earliest = due;
      }
    }
    itimerspec wake{};
    if (earliest) {
      wake.it_value = AbsoluteTimespec(*earliest);
      // An all-zero value would disarm the timer instead of firing at once.
      if (wake.it_value.tv_sec == 0 && wake.it_value.tv_nsec == 0) wake.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &wake, nullptr);
  }

  DelayProxyOptions options_;
  sockaddr_in upstream_;
  UniqueFd listener_;
  UniqueFd epoll_;
  UniqueFd timer_;
  UniqueFd stop_;
  std::uint16_t port_ = 0;
  std::map<std::uint64_t, Connection> connections_;
  std::uint64_t nextId_ = kFirstConnectionId;
  bool stopped_ = false;
};

DelayProxy::DelayProxy(const DelayProxyOptions& options) : loop_(std::make_unique<Loop>(options)) {}
DelayProxy::~DelayProxy() = default;
std::uint16_t DelayProxy::Port() const { return loop_->Port(); }
void DelayProxy::Run() { loop_->Run(); }
void DelayProxy::Stop() { loop_->Stop(); }

}  // namespace tidewell::test
