#include "Server.h"

#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <vector>

namespace tidewell::timepage {
namespace {

using namespace std::chrono_literals;

// Tags in the epoll data of the server's own descriptors; connections count up from kFirstId,
// never reusing an id, so a stale event of a closed connection can never hit a new one.
constexpr std::uint64_t kListenerTag = 1;
constexpr std::uint64_t kTimerTag = 2;
constexpr std::uint64_t kStopTag = 3;
constexpr std::uint64_t kClockStepTag = 4;
constexpr std::uint64_t kFirstId = 16;

constexpr int kListenBacklog = 4096;
constexpr int kEventsPerWait = 1024;
// A client that reads its reply this slowly is not going to set a clock with it.
constexpr auto kWriteTimeout = 10s;
// After the last reply on a connection our side is shut and we wait for the client to close,
// reading what it still sends, so that unread bytes cannot make the kernel reset the connection
// under a reply the client has not read yet. A client that does not close is dropped after this.
constexpr auto kLingerTime = 2s;
// When no descriptor is left for a new client, one that has waited at least this long for its
// request head is closed to make room: a client of the time page sends its request as soon as
// it is connected, so the longest waiting are the ones holding a place without using it.
constexpr auto kShortestWaitDropped = 250ms;
// With no room to be made, accepting stops this long while the others are served.
constexpr auto kAcceptPause = 100ms;

// The events of each phase: hang-ups always, input only while it is wanted.
constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr std::uint32_t kParkedEvents = EPOLLRDHUP;
constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLRDHUP;

void Report(const char* what) {
  std::fprintf(stderr, "tidewell-timepage: %s: %s\n", what, std::strerror(errno));
}

constexpr const char* kRefusing = "answering 503 until it is";

void ReportUnsynchronised(const std::string& why, const char* doing) {
  std::fprintf(stderr, "tidewell-timepage: this machine's clock is not synchronised: %s; %s\n",
               why.c_str(), doing);
}

UniqueFd Checked(int fd, const char* what) {
  if (fd < 0) throw ListenError(std::string{what} + ": " + std::strerror(errno));
  return UniqueFd{fd};
}

// "127.0.0.1:8037", or "[::1]:8037" for an address with colons.
std::string Endpoint(const std::string& host, const std::string& port) {
  return host.find(':') == std::string::npos ? host + ":" + port : "[" + host + "]:" + port;
}

// A non-blocking socket bound to `literal` (an IPv4 or IPv6 address) and `port`, and listening.
UniqueFd OpenListener(const std::string& literal, std::uint16_t port) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(literal.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    throw ListenError("'" + literal + "' is not an IPv4 or IPv6 address");
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> address{found, ::freeaddrinfo};
  UniqueFd listener{::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  const int on = 1;
  // Lets a restarted server take its port back at once from connections still in TIME_WAIT.
  if (listener.valid()) ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!listener.valid() || ::bind(listener.get(), found->ai_addr, found->ai_addrlen) != 0 ||
      ::listen(listener.get(), kListenBacklog) != 0) {
    throw ListenError("cannot listen on " + Endpoint(literal, service) + ": " +
                      std::strerror(errno));
  }
  return listener;
}

}  // namespace

Server::Server(const Options& options, UniqueFd stop, std::unique_ptr<ServedClock> clock,
               std::unique_ptr<ClockStatus> status)
    : options_(options),
      clock_(clock ? std::move(clock) : std::make_unique<ServedClock>(options_.offset)),
      status_(status ? std::move(status) : std::make_unique<KernelClockStatus>()),
      epoll_(Checked(::epoll_create1(EPOLL_CLOEXEC), "cannot create the event set")),
      listener_(OpenListener(options_.bindAddress, options_.port)),
      stop_(std::move(stop)),
      nextId_(kFirstId),
      parked_(*clock_, Checked(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC),
                               "cannot create the second timer")) {
  const int steps = clock_->StepNotices();
  if (!Watch(EPOLL_CTL_ADD, listener_.get(), EPOLLIN, kListenerTag) ||
      !Watch(EPOLL_CTL_ADD, parked_.timerFd(), EPOLLIN, kTimerTag) ||
      !Watch(EPOLL_CTL_ADD, stop_.get(), EPOLLIN, kStopTag) ||
      (steps >= 0 && !Watch(EPOLL_CTL_ADD, steps, EPOLLIN, kClockStepTag))) {
    throw ListenError(std::string{"cannot watch a descriptor: "} + std::strerror(errno));
  }
  if (const std::optional<std::string> why = WhyNotVouched(status_->Read())) {
    unvouched_ = options_.requireSynchronised;
    ReportUnsynchronised(
        *why, unvouched_ ? kRefusing : "serving it all the same (see --require-synchronised)");
  }
  // The first page costs more than the others (the allocator and the formatting code warm
  // up); pay that now rather than while the first client waits.
  ReplyFor(Route::kTimePage, SecondAt(clock_->Now()), AfterReply::kClose);
}

std::string Server::ListeningOn() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  char host[NI_MAXHOST] = "?";
  char port[NI_MAXSERV] = "?";
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port,
                  sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  }
  return Endpoint(host, port);
}

Second Server::SecondAt(Instant now) const {
  return options_.mode == ServeMode::kFixed ? options_.fixedTime : ImmediateAnswerSecond(now);
}

std::shared_ptr<const Response> Server::ReplyFor(Route route, Second second, AfterReply after) {
  const auto found = replies_.find({second, route, after});
  if (found != replies_.end()) return found->second;
  // Both endings at once: a parked client's may change before its second comes.
  for (const AfterReply ending : {AfterReply::kClose, AfterReply::kKeepOpen}) {
    replies_[{second, route, ending}] =
        std::make_shared<const Response>(ResponseFor(route, second, ending));
  }
  // A request within the margin after a boundary still gets the page of the second before;
  // nothing older is ever served again.
  replies_.erase(replies_.begin(), replies_.lower_bound({second - 1s, Route{}, AfterReply{}}));
  return replies_.at({second, route, after});
}

bool Server::Vouched() {
  if (!options_.requireSynchronised) return true;
  const std::optional<std::string> why = WhyNotVouched(status_->Read());
  if (why && !unvouched_) {
    ReportUnsynchronised(*why, kRefusing);
  } else if (!why && unvouched_) {
    std::fputs("tidewell-timepage: this machine's clock is synchronised; serving the page\n",
               stderr);
  }
  unvouched_ = why.has_value();
  return !why;
}

bool Server::Watch(int operation, int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = tag;
  return ::epoll_ctl(epoll_.get(), operation, fd, &event) == 0;
}

bool Server::Rewatch(std::uint64_t id, Connection& connection, std::uint32_t events) {
  if (connection.watched == events) return true;
  if (!Watch(EPOLL_CTL_MOD, connection.fd(), events, id)) {
    // Without its events the connection would hang until its time-out or for ever: drop it.
    Report("cannot watch a client, dropping it");
    Close(id);
    return false;
  }
  connection.watched = events;
  return true;
}

void Server::SetDeadline(std::uint64_t id, Connection& connection, std::optional<Mono> deadline) {
  if (connection.deadline) deadlines_.erase({*connection.deadline, id});
  connection.deadline = deadline;
  if (deadline) deadlines_.insert({*deadline, id});
}

template <typename Step>
void Server::Guarded(std::uint64_t id, Step&& step) {
  try {
    step();
  } catch (const std::exception& error) {
    // Running out of memory is the likely cause. A client's exchange left half done is dropped
    // with it; the server's own steps come round again with their next event.
    const bool client = id >= kFirstId && connections_.count(id) != 0;
    std::fprintf(stderr, "tidewell-timepage: %s%s\n", error.what(),
                 client ? "; dropping a client" : "");
    if (client) Close(id);
  }
}

bool Server::Run() {
  std::array<epoll_event, kEventsPerWait> events{};
  while (!stopping_) {
    const int timeout = MillisecondsToNextWake(std::chrono::steady_clock::now());
    const int count = ::epoll_wait(epoll_.get(), events.data(), kEventsPerWait, timeout);
    if (count < 0 && errno != EINTR) {
      Report("waiting for events failed");
      return false;
    }
    for (int i = 0; i < count; ++i) {
      const epoll_event event = events[i];
      Guarded(event.data.u64, [&] { HandleEvent(event.data.u64, event.events); });
    }
    Guarded(kTimerTag, [&] {
      // Without its timer the loop's own time-out wakes it for the parked clients.
      if (timerFailed_) OnTimer();
    });
    const Mono now = std::chrono::steady_clock::now();
    // A head that does not come in time, a reply not taken, a lingering client that stays.
    while (!deadlines_.empty() && deadlines_.begin()->first <= now)
      Close(deadlines_.begin()->second);
    ResumeAcceptingWhenDue(now);
    if (!pendingLog_.empty()) {
      std::fwrite(pendingLog_.data(), 1, pendingLog_.size(), stdout);
      std::fflush(stdout);
      pendingLog_.clear();
    }
  }
  return true;
}

void Server::HandleEvent(std::uint64_t tag, std::uint32_t events) {
  if (tag == kListenerTag) return AcceptClients();
  if (tag == kTimerTag || tag == kClockStepTag) return OnTimer();
  if (tag == kStopTag) {
    stopping_ = true;
    return;
  }
  const auto found = connections_.find(tag);
  if (found == connections_.end()) return;  // closed earlier in this batch
  HandleConnection(tag, found->second, events);
}

void Server::HandleConnection(std::uint64_t id, Connection& connection, std::uint32_t events) {
  switch (connection.phase()) {
    case Phase::kReadingHead:
      if ((events & EPOLLRDHUP) != 0) connection.NoteClientDoneSending();
      switch (connection.ReadHead()) {
        case ReadOutcome::kIncomplete:
          return;
        case ReadOutcome::kHead:
          return Answer(id, connection);
        case ReadOutcome::kGone:
          return Close(id);
      }
      return;
    case Phase::kParked:
      // A reset means the client is gone: drop it; the dispatch skips its parked id. When only
      // its sending side has ended, it may wait for the page (as `nc -q` does) or have gone,
      // which shows only when the page is written; so it stays parked, no longer watched, since
      // hang-ups are level-triggered and the loop would spin till then.
      connection.NoteClientDoneSending();
      Rewatch(id, connection, 0);
      return;
    case Phase::kWriting:
      if ((events & (EPOLLERR | EPOLLHUP)) != 0) return Close(id);
      // A client that shut only its sending side may still read the rest; stop watching for
      // the level-triggered hang-up, or the loop would spin until it can write.
      if ((events & EPOLLRDHUP) != 0 && !Rewatch(id, connection, EPOLLOUT)) return;
      switch (connection.ContinueWriting()) {
        case WriteState::kDone:
          return FinishReply(id, connection);
        case WriteState::kWouldBlock:
          return;
        case WriteState::kFailed:
          return Close(id);
      }
      return;
    case Phase::kLingering:
      if (connection.DrainLingering()) Close(id);
      return;
  }
}

void Server::AcceptClients() {
  bool madeRoom = false;
  for (;;) {
    UniqueFd client{::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)};
    if (!client.valid()) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) Report("accepting a client failed");
        return;
      }
      // Out of descriptors: close the client that has waited longest for its head.
      if (!madeRoom && DropLongestWaiting(std::chrono::steady_clock::now())) {
        madeRoom = true;
        continue;
      }
      // That did not help, or none qualifies: stop accepting for a moment, so that the loop
      // does not spin on a listener that stays readable. The clients taken are served
      // meanwhile, and their leaving makes room.
      if (acceptPausedUntil_) return;
      if (::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr) != 0) {
        Report("cannot pause accepting clients");
      }
      acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
      return;
    }
    madeRoom = false;
    const std::uint64_t id = nextId_++;
    if (!Watch(EPOLL_CTL_ADD, client.get(), kReadEvents, id)) {
      Report("cannot watch a new client, dropping it");
      continue;  // its socket closes as it goes
    }
    Connection& connection = connections_.emplace(id, Connection{std::move(client)}).first->second;
    connection.watched = kReadEvents;
    SetDeadline(id, connection, std::chrono::steady_clock::now() + options_.headerTimeout);
  }
}

void Server::ResumeAcceptingWhenDue(Mono now) {
  if (!acceptPausedUntil_ || now < *acceptPausedUntil_) return;
  // EEXIST: it stayed in the set because the pause could not take it out.
  if (!Watch(EPOLL_CTL_ADD, listener_.get(), EPOLLIN, kListenerTag) && errno != EEXIST) {
    Report("cannot resume accepting clients, trying again shortly");
    acceptPausedUntil_ = now + kAcceptPause;
    return;
  }
  acceptPausedUntil_.reset();
}

bool Server::DropLongestWaiting(Mono now) {
  // In time-out order: a lingering client has its page and only holds its place; the first one
  // waiting for its head has waited longest of all that do.
  const auto candidate = std::find_if(deadlines_.begin(), deadlines_.end(), [this](auto entry) {
    const Phase phase = connections_.at(entry.second).phase();
    return phase == Phase::kReadingHead || phase == Phase::kLingering;
  });
  if (candidate == deadlines_.end()) return false;
  const auto [deadline, id] = *candidate;
  Connection& connection = connections_.at(id);
  if (connection.phase() == Phase::kLingering) {
    // Read what the client still sent first: closing on unread bytes would reset the
    // connection, and the client could lose the page it has not read yet.
    connection.DrainLingering();
  } else if (deadline - options_.headerTimeout > now - kShortestWaitDropped) {
    return false;  // its header time-out started when it began to wait: not long enough
  }
  Close(id);
  return true;
}

void Server::Answer(std::uint64_t id, Connection& connection) {
  connection.TakeHead();
  SetDeadline(id, connection, std::nullopt);

  const Instant now = clock_->Now();
  const RoutedRequest& request = connection.request();
  // A client that reads the figures takes the page's age into account itself: holding it to
  // the next second would only keep it waiting.
  const bool held =
      options_.mode == ServeMode::kAligned && !(options_.timing && request.preferNoHold);
  // Within the margin after a boundary the aligned second is the current one.
  if (request.route == Route::kTimePage && held) {
    const Second answer = AlignedAnswerSecond(now);
    if (!AnswerIsDue(answer, now)) return Park(id, connection, answer);
  }
  const Route route =
      request.route == Route::kTimePage && !Vouched() ? Route::kClockUnsynchronised : request.route;
  const Second second = SecondAt(now);
  if (StartReply(id, connection, ReplyFor(route, second, connection.after()), second)) {
    FinishReply(id, connection);
  }
}

void Server::Park(std::uint64_t id, Connection& connection, Second answer) {
  connection.Park();
  if (!Rewatch(id, connection, kParkedEvents)) return;
  // Render the page now, while there is time, so that the boundary itself only writes.
  ReplyFor(Route::kTimePage, answer, AfterReply::kClose);
  NoteTimerArmed(parked_.Add(answer, id));
}

void Server::OnTimer() {
  // After a step of the clock (this machine's cancels the timer) every parked request is
  // answered at the next whole second of the new clock: none waits for an old second, and
  // none goes out in mid-second.
  const bool timerCancelled = parked_.ReadTimer();
  const bool offsetStepped = clock_->TakeStepNotices();
  if (timerCancelled || offsetStepped) parked_.ParkAllAt(AlignedAnswerSecond(clock_->Now()));
  try {
    DispatchDue();
  } catch (...) {
    NoteTimerArmed(parked_.ArmForEarliest());  // whatever stays parked still needs its wake-up
    throw;
  }
  NoteTimerArmed(parked_.ArmForEarliest());
}

void Server::NoteTimerArmed(bool armed) {
  if (!armed && !timerFailed_) Report("cannot arm the second timer, waking without it");
  timerFailed_ = !armed;
}

void Server::DispatchDue() {
  const Instant now = clock_->Now();
  const std::optional<Second> earliest = parked_.Earliest();
  if (!earliest || !AnswerIsDue(*earliest, now)) return;

  // Normally the second they were parked for; should the loop have been held up past it, the
  // one the page leaves in. Rendered first, so that a failure here leaves them parked.
  const Second second = ImmediateAnswerSecond(now);
  const Route route = Vouched() ? Route::kTimePage : Route::kClockUnsynchronised;
  ReplyFor(route, second, AfterReply::kClose);
  const std::vector<std::uint64_t> due = parked_.TakeDue(now);

  // First put every reply on the wire, then do the bookkeeping, so that the last client of a
  // crowd gets its page as early as it can.
  std::vector<std::uint64_t> finished;
  finished.reserve(due.size());
  for (const std::uint64_t id : due) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) continue;  // hung up while parked
    Connection& connection = found->second;
    Guarded(id, [&] {
      if (StartReply(id, connection, ReplyFor(route, second, connection.after()), second)) {
        finished.push_back(id);
      }
    });
  }
  for (const std::uint64_t id : finished) {
    const auto found = connections_.find(id);
    if (found != connections_.end()) Guarded(id, [&] { FinishReply(id, found->second); });
  }
}

bool Server::StartReply(std::uint64_t id, Connection& connection,
                        std::shared_ptr<const Response> reply, Second served) {
  // A refusal for an unsynchronised clock shows no page, so it has no age to tell; a fixed time
  // is a clock that stands still, so its page is never older than its second.
  std::optional<std::chrono::nanoseconds> age;
  if (options_.timing && reply->status != 503) {
    age = options_.mode == ServeMode::kFixed
              ? std::chrono::nanoseconds{0}
              : std::max(std::chrono::nanoseconds{0}, clock_->Now() - served);
  }
  switch (connection.StartReply(std::move(reply), served, age)) {
    case WriteState::kDone:
      return true;
    case WriteState::kWouldBlock:
      if (Rewatch(id, connection, kWriteEvents)) {
        SetDeadline(id, connection, std::chrono::steady_clock::now() + kWriteTimeout);
      }
      return false;
    case WriteState::kFailed:
      Close(id);
      return false;
  }
  return false;
}

void Server::FinishReply(std::uint64_t id, Connection& connection) {
  if (options_.log) pendingLog_ += connection.LogLine();
  connection.FinishReply();
  const Mono now = std::chrono::steady_clock::now();
  if (connection.phase() == Phase::kReadingHead) {
    // The next request is under the header time-out like the first, and one the client sent
    // without waiting for this reply may be here already.
    if (!Rewatch(id, connection, kReadEvents)) return;
    SetDeadline(id, connection, now + options_.headerTimeout);
    if (connection.HasBufferedHead()) Answer(id, connection);
    return;
  }
  // Waiting for the client's close needs only its hang-up, which a parked client watches
  // already: leaving it so saves a system call per client at a busy boundary.
  if ((connection.watched & EPOLLOUT) != 0 && !Rewatch(id, connection, kReadEvents)) return;
  SetDeadline(id, connection, now + kLingerTime);
}

int Server::MillisecondsToNextWake(Mono now) const {
  std::optional<Mono> wake;
  if (!deadlines_.empty()) wake = deadlines_.begin()->first;
  if (acceptPausedUntil_ && (!wake || *acceptPausedUntil_ < *wake)) wake = acceptPausedUntil_;
  if (const std::optional<Second> parked = parked_.Earliest(); timerFailed_ && parked) {
    const Mono due =
        now + std::chrono::duration_cast<Mono::duration>(Instant{*parked} - clock_->Now());
    if (!wake || due < *wake) wake = due;
  }
  if (!wake) return -1;  // the boundary timer and the sockets wake us
  if (*wake <= now) return 0;
  // Rounded up, so that the wait never ends just before the deadline and spins.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count());
}

void Server::Close(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  if (found->second.deadline) deadlines_.erase({*found->second.deadline, id});
  connections_.erase(found);  // its socket closes with it, which also takes it out of the set
}

}  // namespace tidewell::timepage
