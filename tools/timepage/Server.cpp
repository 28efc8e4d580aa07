#include "Server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Alignment.h"
#include "SocketWrite.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono_literals;

// Tags in the epoll data of the server's own descriptors; connections count up from kFirstId,
// never reusing an id, so a stale event of a closed connection can never hit a new one.
constexpr std::uint64_t kListenerTag = 1;
constexpr std::uint64_t kTimerTag = 2;
constexpr std::uint64_t kSignalTag = 3;
constexpr std::uint64_t kFirstId = 16;

constexpr int kListenBacklog = 4096;
constexpr int kEventsPerWait = 1024;
constexpr std::size_t kReadChunk = 4096;
// A client that reads its reply this slowly is not going to set a clock with it.
constexpr auto kWriteTimeout = 10s;
// After the last reply on a connection our side is shut and we wait for the client to close,
// reading what it still sends, so that unread bytes cannot make the kernel reset the
// connection under a reply the client has not read yet. A client that does not close is
// dropped after this.
constexpr auto kLingerTime = 2s;
// Out of descriptors: stop accepting for a moment instead of spinning on the listener.
constexpr auto kAcceptPause = 100ms;

// The events of each phase: hang-ups always, input only while it is wanted.
constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr std::uint32_t kParkedEvents = EPOLLRDHUP;
constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLRDHUP;

std::string ErrnoText(int error) { return std::strerror(error); }

ConnectionHeader HeaderFor(bool keepOpen) {
  return keepOpen ? ConnectionHeader::kKeepAlive : ConnectionHeader::kClose;
}

AfterReply AfterFor(bool keepOpen) { return keepOpen ? AfterReply::kKeepOpen : AfterReply::kShut; }

[[noreturn]] void FailSetup(const std::string& what) {
  throw ListenError(what + ": " + ErrnoText(errno));
}

std::string FormatEndpoint(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    std::string endpoint = "[";
    endpoint += text;
    endpoint += "]:";
    endpoint += std::to_string(ntohs(v6.sin6_port));
    return endpoint;
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  return std::string{text} + ":" + std::to_string(ntohs(v4.sin_port));
}

// The address to bind, from a literal that the options have already checked.
sockaddr_storage SocketAddress(const std::string& literal, std::uint16_t port, socklen_t* length) {
  sockaddr_storage address{};
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  if (::inet_pton(AF_INET, literal.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    *length = sizeof v4;
    return address;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (::inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    *length = sizeof v6;
    return address;
  }
  throw ListenError("'" + literal + "' is not an IPv4 or IPv6 address");
}

std::string DisplayEndpoint(const std::string& literal, std::uint16_t port) {
  const bool v6 = literal.find(':') != std::string::npos;
  std::string endpoint = v6 ? "[" : "";
  endpoint += literal;
  endpoint += v6 ? "]:" : ":";
  endpoint += std::to_string(port);
  return endpoint;
}

timespec ToTimespec(Instant instant) {
  const auto since = instant.time_since_epoch();
  const auto whole = std::chrono::floor<std::chrono::seconds>(since);
  return {static_cast<time_t>(whole.count()),
          static_cast<long>(std::chrono::nanoseconds{since - whole}.count())};
}

}  // namespace

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

Server::Server(const Options& options) : options_(options), nextId_(kFirstId) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) FailSetup("cannot create the event set");
  try {
    OpenListener();
    OpenTimer();
    OpenSignals();
  } catch (...) {
    for (int fd : {signals_, timer_, listener_, epoll_}) {
      if (fd >= 0) ::close(fd);
    }
    throw;
  }
  // The boundary timer should fire on the boundary, not up to 50 us after it.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // The first page costs more than the others (the allocator and the formatting code warm
  // up); pay that now rather than while the first client waits.
  PageFor(options_.mode == ServeMode::kFixed ? options_.fixedTime
                                             : ImmediateAnswerSecond(ServedNow()));
}

Server::~Server() {
  for (auto& [id, connection] : connections_) ::close(connection.fd);
  for (int fd : {signals_, timer_, listener_, epoll_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Server::OpenListener() {
  socklen_t length = 0;
  const sockaddr_storage address = SocketAddress(options_.bindAddress, options_.port, &length);
  const std::string where = DisplayEndpoint(options_.bindAddress, options_.port);
  listener_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) FailSetup("cannot listen on " + where);
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, kListenBacklog) != 0) {
    FailSetup("cannot listen on " + where);
  }
  Watch(listener_, EPOLLIN, kListenerTag);
}

void Server::OpenTimer() {
  timer_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_ < 0) FailSetup("cannot create the second timer");
  Watch(timer_, EPOLLIN, kTimerTag);
}

void Server::OpenSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  signals_ = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals_ < 0) FailSetup("cannot watch for stop signals");
  Watch(signals_, EPOLLIN, kSignalTag);
}

void Server::Watch(int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = tag;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) FailSetup("cannot watch a descriptor");
}

void Server::Rewatch(Connection& connection, std::uint64_t id, std::uint32_t events) {
  if (connection.watched == events) return;
  connection.watched = events;
  epoll_event event{};
  event.events = events;
  event.data.u64 = id;
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
}

std::string Server::ListeningOn() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  return FormatEndpoint(address);
}

Instant Server::ServedNow() const {
  const auto real =
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  return Instant{real.time_since_epoch()} + options_.offset;
}

const Server::Pages& Server::PageFor(Second second) {
  // Rendered once per second and shared by every client answered in it. The page of the
  // second before stays too: a request within the margin after a boundary still gets it.
  auto found = pages_.find(second);
  if (found == pages_.end()) {
    Pages pages{
        std::make_shared<const Response>(TimePageResponse(second, ConnectionHeader::kClose)),
        std::make_shared<const Response>(TimePageResponse(second, ConnectionHeader::kKeepAlive))};
    found = pages_.emplace(second, std::move(pages)).first;
    pages_.erase(pages_.begin(), pages_.lower_bound(second - std::chrono::seconds{1}));
  }
  return found->second;
}

void Server::Run() {
  std::array<epoll_event, kEventsPerWait> events{};
  while (!stopping_) {
    const int timeout = MillisecondsToNextWake(std::chrono::steady_clock::now());
    const int count = ::epoll_wait(epoll_, events.data(), kEventsPerWait, timeout);
    if (count < 0 && errno != EINTR) {
      std::fprintf(stderr, "tidewell-timepage: waiting for events failed: %s\n",
                   ErrnoText(errno).c_str());
      break;
    }
    for (int i = 0; i < count; ++i) HandleEvent(events[i].data.u64, events[i].events);
    const Mono now = std::chrono::steady_clock::now();
    ExpireDeadlines(now);
    ResumeAcceptingWhenDue(now);
    FlushLog();
  }
}

void Server::HandleEvent(std::uint64_t tag, std::uint32_t events) {
  if (tag == kListenerTag) return AcceptClients();
  if (tag == kTimerTag) return OnTimer();
  if (tag == kSignalTag) {
    signalfd_siginfo info{};
    while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      stopping_ = true;
    }
    return;
  }
  const auto found = connections_.find(tag);
  if (found == connections_.end()) return;  // closed earlier in this batch
  Connection& connection = found->second;
  switch (connection.phase) {
    case Phase::kReadingHead:
      return ReadHead(tag, connection);
    case Phase::kParked:
      // Only hang-ups are watched while parked: the client gave up waiting, so drop it
      // quietly; its id stays in the parked list and the dispatch skips it.
      return Close(tag);
    case Phase::kWriting:
      if ((events & (EPOLLERR | EPOLLHUP)) != 0) return Close(tag);
      // A client that shut only its sending side may still read the rest. Hang-ups are
      // level-triggered, so stop watching for them or the loop would spin until it can write.
      if ((events & EPOLLRDHUP) != 0) Rewatch(connection, tag, EPOLLOUT);
      return ContinueWriting(tag, connection);
    case Phase::kLingering:
      return DrainLingering(tag, connection);
  }
}

void Server::AcceptClients() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        return PauseAccepting();
      }
      std::fprintf(stderr, "tidewell-timepage: accepting a client failed: %s\n",
                   ErrnoText(errno).c_str());
      return;
    }
    const std::uint64_t id = nextId_++;
    Connection& connection = connections_[id];
    connection.fd = fd;
    connection.watched = kReadEvents;
    epoll_event event{};
    event.events = kReadEvents;
    event.data.u64 = id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
      Close(id);
      continue;
    }
    SetDeadline(id, connection, std::chrono::steady_clock::now() + options_.headerTimeout);
  }
}

void Server::PauseAccepting() {
  if (acceptPaused_) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
  acceptPaused_ = true;
  resumeAcceptAt_ = std::chrono::steady_clock::now() + kAcceptPause;
}

void Server::ResumeAcceptingWhenDue(Mono now) {
  if (!acceptPaused_ || now < resumeAcceptAt_) return;
  acceptPaused_ = false;
  Watch(listener_, EPOLLIN, kListenerTag);
}

void Server::ReadHead(std::uint64_t id, Connection& connection) {
  for (;;) {
    char chunk[kReadChunk];
    const ssize_t got = ::recv(connection.fd, chunk, sizeof chunk, 0);
    if (got > 0) {
      const std::size_t before = connection.input.size();
      connection.input.append(chunk, static_cast<std::size_t>(got));
      if (AnswerBufferedHead(id, connection, before)) return;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // Closed or broken before a head was complete; for a kept connection between requests,
    // this is the client's normal way of ending it.
    return Close(id);
  }
}

bool Server::AnswerBufferedHead(std::uint64_t id, Connection& connection, std::size_t scannedUpTo) {
  // Only the head at the front of the input counts: what follows it is the next request of
  // a client that did not wait for the reply, and stays for when this one is answered.
  const std::size_t end = FindHeadEnd(connection.input, scannedUpTo);
  if (end > kMaxRequestHead || (end == 0 && connection.input.size() > kMaxRequestHead)) {
    connection.request = RoutedRequest{Route::kHeadTooLarge, false, "", false};
    AnswerHead(id, connection, 0);
    return true;
  }
  if (end == 0) return false;
  AnswerHead(id, connection, end);
  return true;
}

void Server::AnswerHead(std::uint64_t id, Connection& connection, std::size_t headLength) {
  if (headLength != 0) {
    connection.request = RouteRequest(std::string_view{connection.input}.substr(0, headLength));
    connection.input.erase(0, headLength);
  }
  ++connection.answered;
  connection.keepOpen =
      connection.request.keepAlive && connection.answered < kMaxRequestsPerConnection;
  // A parked client should hold no buffer: free it unless it holds the next request.
  if (!connection.keepOpen || connection.input.empty()) std::string{}.swap(connection.input);
  SetDeadline(id, connection, std::nullopt);

  const Instant now = ServedNow();
  const bool keepOpen = connection.keepOpen;
  bool finished = false;
  if (connection.request.route != Route::kTimePage) {
    const Second dated =
        options_.mode == ServeMode::kFixed ? options_.fixedTime : ImmediateAnswerSecond(now);
    auto reply = std::make_shared<const Response>(
        ErrorResponse(connection.request.route, dated, HeaderFor(keepOpen)));
    StartReply(id, connection, std::move(reply), dated, &finished);
  } else if (options_.mode == ServeMode::kFixed) {
    StartReply(id, connection, PageFor(options_.fixedTime).For(keepOpen), options_.fixedTime,
               &finished);
  } else if (options_.mode == ServeMode::kImmediate) {
    const Second second = ImmediateAnswerSecond(now);
    StartReply(id, connection, PageFor(second).For(keepOpen), second, &finished);
  } else if (const Second answer = AlignedAnswerSecond(now); AnswerIsDue(answer, now)) {
    StartReply(id, connection, PageFor(answer).For(keepOpen), answer, &finished);
  } else {
    return Park(id, connection, answer);
  }
  if (finished) FinishReply(id, connection);
}

void Server::Park(std::uint64_t id, Connection& connection, Second answer) {
  connection.phase = Phase::kParked;
  Rewatch(connection, id, kParkedEvents);
  parked_[answer].push_back(id);
  // Render the page now, while there is time, so that the boundary itself only writes.
  PageFor(answer);
  if (!timerArmedFor_ || answer < *timerArmedFor_) ArmTimerForEarliest();
}

void Server::ArmTimerForEarliest() {
  itimerspec setting{};  // all zero disarms
  timerArmedFor_.reset();
  if (!parked_.empty()) {
    timerArmedFor_ = parked_.begin()->first;
    // The timer runs on this machine's clock; the served clock is ahead of it by the offset.
    setting.it_value = ToTimespec(Instant{*timerArmedFor_} - options_.offset);
  }
  // Cancel-on-set: if someone sets this machine's clock, the read fails with ECANCELED and
  // the parked requests are looked at again against the new clock.
  ::timerfd_settime(timer_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &setting, nullptr);
}

void Server::OnTimer() {
  std::uint64_t expirations = 0;
  if (::read(timer_, &expirations, sizeof expirations) < 0 && errno == ECANCELED) {
    // The clock was set. Anything now parked beyond the next whole second is answered then,
    // so a clock stepped back does not leave clients waiting for the old second.
    const Second next = AlignedAnswerSecond(ServedNow());
    std::vector<std::uint64_t> moved;
    while (!parked_.empty() && parked_.rbegin()->first > next) {
      auto last = std::prev(parked_.end());
      moved.insert(moved.end(), last->second.begin(), last->second.end());
      parked_.erase(last);
    }
    if (!moved.empty()) {
      auto& target = parked_[next];
      target.insert(target.end(), moved.begin(), moved.end());
    }
  }
  DispatchDue();
  ArmTimerForEarliest();
}

void Server::DispatchDue() {
  const Instant now = ServedNow();
  std::vector<std::uint64_t> due;
  while (!parked_.empty() && AnswerIsDue(parked_.begin()->first, now)) {
    auto& ids = parked_.begin()->second;
    due.insert(due.end(), ids.begin(), ids.end());
    parked_.erase(parked_.begin());
  }
  if (due.empty()) return;

  // Normally the current second is the one they were parked for. Should the loop have been
  // held up past it, the page names the second it actually leaves in.
  const Second second = ImmediateAnswerSecond(now);
  const Pages pages = PageFor(second);

  // First put every reply on the wire, then do the bookkeeping, so that the last client of a
  // crowd gets its page as early as it can.
  std::vector<std::uint64_t> finished;
  finished.reserve(due.size());
  for (const std::uint64_t id : due) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) continue;  // hung up while parked
    bool done = false;
    StartReply(id, found->second, pages.For(found->second.keepOpen), second, &done);
    if (done) finished.push_back(id);
  }
  // A kept connection may find its next request already read and be answered again from
  // here; that touches only its own entry.
  for (const std::uint64_t id : finished) {
    const auto found = connections_.find(id);
    if (found != connections_.end()) FinishReply(id, found->second);
  }
}

void Server::StartReply(std::uint64_t id, Connection& connection,
                        std::shared_ptr<const Response> reply, Second served, bool* finished) {
  connection.reply = std::move(reply);
  connection.replyLength =
      connection.request.headOnly ? connection.reply->headerLength : connection.reply->bytes.size();
  connection.written = 0;
  connection.served = served;
  const std::string_view bytes{connection.reply->bytes.data(), connection.replyLength};
  switch (WriteReply(connection.fd, bytes, &connection.written, AfterFor(connection.keepOpen))) {
    case WriteState::kDone:
      *finished = true;
      return;
    case WriteState::kWouldBlock:
      connection.phase = Phase::kWriting;
      Rewatch(connection, id, kWriteEvents);
      SetDeadline(id, connection, std::chrono::steady_clock::now() + kWriteTimeout);
      return;
    case WriteState::kFailed:
      return Close(id);
  }
}

void Server::ContinueWriting(std::uint64_t id, Connection& connection) {
  const std::string_view bytes{connection.reply->bytes.data(), connection.replyLength};
  switch (WriteReply(connection.fd, bytes, &connection.written, AfterFor(connection.keepOpen))) {
    case WriteState::kDone:
      return FinishReply(id, connection);
    case WriteState::kWouldBlock:
      return;
    case WriteState::kFailed:
      return Close(id);
  }
}

void Server::FinishReply(std::uint64_t id, Connection& connection) {
  if (options_.log) Log(connection.served, connection);
  connection.reply.reset();
  if (connection.keepOpen) return AwaitNextRequest(id, connection);
  connection.phase = Phase::kLingering;
  // Waiting for the client's close needs only its hang-up. A parked client already watches
  // for nothing else, and leaving it so saves a system call per client at a busy boundary.
  if ((connection.watched & EPOLLOUT) != 0) Rewatch(connection, id, kReadEvents);
  SetDeadline(id, connection, std::chrono::steady_clock::now() + kLingerTime);
}

void Server::AwaitNextRequest(std::uint64_t id, Connection& connection) {
  // The next request is under the header time-out like the first: an idle kept connection is
  // closed when it runs out.
  connection.phase = Phase::kReadingHead;
  Rewatch(connection, id, kReadEvents);
  SetDeadline(id, connection, std::chrono::steady_clock::now() + options_.headerTimeout);
  // Requests the client sent without waiting for this reply may already be here.
  if (!connection.input.empty()) AnswerBufferedHead(id, connection, 0);
}

void Server::DrainLingering(std::uint64_t id, Connection& connection) {
  for (;;) {
    char chunk[kReadChunk];
    const ssize_t got = ::recv(connection.fd, chunk, sizeof chunk, 0);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    return Close(id);  // the client closed: the exchange is over
  }
}

void Server::Log(Second served, const Connection& connection) {
  // The path comes from the client: keep the log one line per reply whatever it holds.
  std::string path = connection.request.path.empty() ? "-" : connection.request.path;
  for (char& c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) c = '?';
  }
  pendingLog_ += "served " + LogStamp(served) + " " + path + " " +
                 std::to_string(connection.reply->status) + "\n";
}

void Server::FlushLog() {
  if (pendingLog_.empty()) return;
  std::fwrite(pendingLog_.data(), 1, pendingLog_.size(), stdout);
  std::fflush(stdout);
  pendingLog_.clear();
}

void Server::SetDeadline(std::uint64_t id, Connection& connection, std::optional<Mono> deadline) {
  if (connection.deadline) deadlines_.erase({*connection.deadline, id});
  connection.deadline = deadline;
  if (deadline) deadlines_.insert({*deadline, id});
}

void Server::ExpireDeadlines(Mono now) {
  // A head that does not arrive in time (the first, or the next on a kept connection), a reply
  // the client does not take, or a lingering client that does not close: all end the same way.
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    Close(deadlines_.begin()->second);
  }
}

int Server::MillisecondsToNextWake(Mono now) const {
  std::optional<Mono> wake;
  if (!deadlines_.empty()) wake = deadlines_.begin()->first;
  if (acceptPaused_ && (!wake || resumeAcceptAt_ < *wake)) wake = resumeAcceptAt_;
  if (!wake) return -1;  // the boundary timer and the sockets wake us
  if (*wake <= now) return 0;
  // Rounded up, so that the wait never ends just before the deadline and spins.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count());
}

void Server::Close(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;
  if (connection.deadline) deadlines_.erase({*connection.deadline, id});
  ::close(connection.fd);
  connections_.erase(found);
}

}  // namespace tidewell::timepage
