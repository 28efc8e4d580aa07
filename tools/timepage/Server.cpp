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

namespace tidewell::timepage {
namespace {

using namespace std::chrono_literals;

enum : std::uint64_t { kListenerTag = 1, kTimerTag, kStopTag, kClockStepTag, kFirstId = 16 };

constexpr int kListenBacklog = 4096;
constexpr int kEventsPerWait = 1024;
constexpr auto kWriteTimeout = 10s;
// After the last reply, reading what the client still sends while it closes keeps the kernel
// from resetting the connection under the reply.
constexpr auto kLingerTime = 2s;
// With no descriptor left, one waiting this long for its head makes room: clients send at once.
constexpr auto kShortestWaitDropped = 250ms;
constexpr auto kAcceptPause = 100ms;

constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr std::uint32_t kParkedEvents = EPOLLRDHUP;
constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLRDHUP;

void Report(const char* what) {
  std::fprintf(stderr, "tidewell-timepage: %s: %s\n", what, std::strerror(errno));
}

void ReportUnsynchronised(const std::string& why, const char* doing) {
  std::fprintf(stderr, "tidewell-timepage: this machine's clock is not synchronised: %s; %s\n",
               why.c_str(), doing);
}

// (A plain loop: clang 14 cannot take libstdc++ 12's views::values of a map's subrange.)
std::vector<std::uint64_t> TakeUpTo(auto& parked, auto end) {
  std::vector<std::uint64_t> taken;
  for (auto held = parked.begin(); held != end; ++held) {
    taken.insert(taken.end(), held->second.begin(), held->second.end());
  }
  parked.erase(parked.begin(), end);
  return taken;
}

UniqueFd Checked(int fd, const char* what) {
  if (fd < 0) throw std::runtime_error(std::string{what} + ": " + std::strerror(errno));
  return UniqueFd{fd};
}

std::string Endpoint(const std::string& host, const std::string& port) {
  return host.find(':') == std::string::npos ? host + ":" + port : "[" + host + "]:" + port;
}

UniqueFd OpenListener(const std::string& literal, std::uint16_t port) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(literal.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    throw std::runtime_error("'" + literal + "' is not an IPv4 or IPv6 address");
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> address{found, ::freeaddrinfo};
  UniqueFd listener{::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  const int on = 1;
  // A restarted server takes its port back at once from connections in TIME_WAIT.
  if (listener.valid()) ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!listener.valid() || ::bind(listener.get(), found->ai_addr, found->ai_addrlen) != 0 ||
      ::listen(listener.get(), kListenBacklog) != 0) {
    throw std::runtime_error("cannot listen on " + Endpoint(literal, service) + ": " +
                             std::strerror(errno));
  }
  return listener;
}

}  // namespace

Server::Server(const Options& options, UniqueFd stop, std::unique_ptr<ServedClock> clock,
               std::unique_ptr<ClockStatus> status)
    : options_(options),
      clock_(clock ? std::move(clock) : std::make_unique<ServedClock>(options_.offset)),
      status_(status ? std::move(status) : std::make_unique<ClockStatus>()),
      epoll_(Checked(::epoll_create1(EPOLL_CLOEXEC), "cannot create the event set")),
      listener_(OpenListener(options_.bindAddress, options_.port)),
      stop_(std::move(stop)),
      nextId_(kFirstId),
      timer_(Checked(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC),
                     "cannot create the second timer")) {
  const int steps = clock_->StepNotices();
  if (!Watch(EPOLL_CTL_ADD, listener_.get(), EPOLLIN, kListenerTag) ||
      !Watch(EPOLL_CTL_ADD, timer_.get(), EPOLLIN, kTimerTag) ||
      !Watch(EPOLL_CTL_ADD, stop_.get(), EPOLLIN, kStopTag) ||
      (steps >= 0 && !Watch(EPOLL_CTL_ADD, steps, EPOLLIN, kClockStepTag))) {
    throw std::runtime_error(std::string{"cannot watch a descriptor: "} + std::strerror(errno));
  }
  if (options_.requireSynchronised) {
    Vouched();
  } else if (const std::optional<std::string> why = WhyNotVouched(status_->Read())) {
    ReportUnsynchronised(*why, "serving it all the same (see --require-synchronised)");
  }
  // The first page costs more than the others: pay that now, not while a client waits.
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
  // Both endings at once: a parked client's may change before its second.
  for (const AfterReply ending : {AfterReply::kClose, AfterReply::kKeepOpen}) {
    replies_[{second, route, ending}] =
        std::make_shared<const Response>(ResponseFor(route, second, ending));
  }
  // Within the margin after a boundary the second before is still served, nothing older.
  replies_.erase(replies_.begin(), replies_.lower_bound({second - 1s, Route{}, AfterReply{}}));
  return replies_.at({second, route, after});
}

bool Server::Vouched() {
  if (!options_.requireSynchronised) return true;
  const std::optional<std::string> why = WhyNotVouched(status_->Read());
  if (why && !unvouched_) {
    ReportUnsynchronised(*why, "answering 503 until it is");
  } else if (!why && unvouched_) {
    std::fputs("tidewell-timepage: this machine's clock is synchronised; serving the page\n",
               stderr);
  }
  unvouched_ = why.has_value();
  return !why;
}

bool Server::Watch(int operation, int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event event{.events = events, .data = {.u64 = tag}};
  return ::epoll_ctl(epoll_.get(), operation, fd, &event) == 0;
}

bool Server::Rewatch(std::uint64_t id, Connection& connection, std::uint32_t events) {
  if (connection.watched == events) return true;
  if (!Watch(EPOLL_CTL_MOD, connection.fd(), events, id)) {
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

void Server::Guarded(std::uint64_t id, auto&& step) {
  try {
    step();
  } catch (const std::exception& error) {
    // Most likely out of memory. The server's own steps come round again with their next event.
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
      const std::uint64_t tag = events[i].data.u64;
      stopping_ = stopping_ || tag == kStopTag;
      Guarded(tag, [&] {
        if (tag == kListenerTag) return AcceptClients();
        if (tag == kTimerTag || tag == kClockStepTag) return OnTimer();
        const auto found = connections_.find(tag);  // none when closed earlier in this batch
        if (found != connections_.end()) HandleConnection(tag, found->second, events[i].events);
      });
    }
    // Without its timer the loop's own time-out wakes it for the parked clients.
    if (timerFailed_) Guarded(kTimerTag, [&] { OnTimer(); });
    const Mono now = std::chrono::steady_clock::now();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
      Close(deadlines_.begin()->second);
    }
    ResumeAcceptingWhenDue(now);
    if (!pendingLog_.empty()) {
      std::fwrite(pendingLog_.data(), 1, pendingLog_.size(), stdout);
      std::fflush(stdout);
      pendingLog_.clear();
    }
  }
  return true;
}

void Server::HandleConnection(std::uint64_t id, Connection& connection, std::uint32_t events) {
  switch (connection.phase()) {
    case Phase::kReadingHead: {
      if ((events & EPOLLRDHUP) != 0) connection.NoteClientDoneSending();
      const ReadOutcome outcome = connection.ReadHead();
      if (outcome == ReadOutcome::kHead) return Answer(id, connection);
      if (outcome == ReadOutcome::kGone) Close(id);
      return;
    }
    case Phase::kParked:
      // It may still wait for the page (as `nc -q` does): parked, unwatched, as hang-ups are
      // level-triggered and would spin the loop.
      connection.NoteClientDoneSending();
      Rewatch(id, connection, 0);
      return;
    case Phase::kWriting:
      if ((events & (EPOLLERR | EPOLLHUP)) != 0) return Close(id);
      // One that shut only its sending side may still read the rest.
      if ((events & EPOLLRDHUP) != 0 && !Rewatch(id, connection, EPOLLOUT)) return;
      if (Wrote(id, connection, connection.ContinueWriting())) FinishReply(id, connection);
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
      if (!madeRoom && DropLongestWaiting(std::chrono::steady_clock::now())) {
        madeRoom = true;
        continue;
      }
      // Else pause rather than spin on a readable listener; the clients leaving make room.
      if (acceptPausedUntil_) return;
      if (!Watch(EPOLL_CTL_MOD, listener_.get(), 0, kListenerTag)) {
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
  acceptPausedUntil_.reset();
  if (!Watch(EPOLL_CTL_MOD, listener_.get(), EPOLLIN, kListenerTag)) {
    Report("cannot resume accepting clients, trying again shortly");
    acceptPausedUntil_ = now + kAcceptPause;
  }
}

bool Server::DropLongestWaiting(Mono now) {
  // In time-out order; a lingering client has its page already.
  const auto candidate = std::find_if(deadlines_.begin(), deadlines_.end(), [this](auto entry) {
    const Phase phase = connections_.at(entry.second).phase();
    return phase == Phase::kReadingHead || phase == Phase::kLingering;
  });
  if (candidate == deadlines_.end()) return false;
  const auto [deadline, id] = *candidate;
  Connection& connection = connections_.at(id);
  if (connection.phase() == Phase::kLingering) {
    // Closing on unread bytes would reset the connection under the page.
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
  // A client that reads the figures allows for the page's age itself: holding it only delays.
  const bool held =
      options_.mode == ServeMode::kAligned && !(options_.timing && request.preferNoHold);
  if (request.route == Route::kTimePage && held) {
    const Second answer = AlignedAnswerSecond(now);
    if (!AnswerIsDue(answer, now)) return Park(id, connection, answer);
  }
  const Route route =
      request.route == Route::kTimePage && !Vouched() ? Route::kClockUnsynchronised : request.route;
  if (StartReply(id, connection, route, SecondAt(now))) FinishReply(id, connection);
}

void Server::Park(std::uint64_t id, Connection& connection, Second answer) {
  connection.Park();
  if (!Rewatch(id, connection, kParkedEvents)) return;
  // Rendered now, so that the boundary itself only writes.
  ReplyFor(Route::kTimePage, answer, AfterReply::kClose);
  parked_[answer].push_back(id);
  if (!armedFor_ || *armedFor_ > answer) ArmTimer();
}

void Server::OnTimer() {
  std::uint64_t expirations = 0;
  // The read fails with ECANCELED when this machine's clock was set.
  const bool clockSet =
      ::read(timer_.get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED;
  const bool offsetStepped = clock_->TakeStepNotices();
  // After a step, every parked request is answered at the next whole second of the new clock.
  if ((clockSet || offsetStepped) && !parked_.empty()) {
    parked_.emplace(AlignedAnswerSecond(clock_->Now()), TakeUpTo(parked_, parked_.end()));
  }
  try {
    DispatchDue();
  } catch (...) {
    ArmTimer();  // whatever stays parked still needs its wake-up
    throw;
  }
  ArmTimer();
}

void Server::ArmTimer() {
  itimerspec setting{};  // all zero disarms
  if (!parked_.empty()) {
    const auto at = Instant{parked_.begin()->first} - clock_->Offset();
    const auto whole = std::chrono::floor<std::chrono::seconds>(at);
    setting.it_value = {static_cast<time_t>(whole.time_since_epoch().count()),
                        static_cast<long>((at - whole).count())};
  }
  const bool armed = ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET,
                                       &setting, nullptr) == 0;
  if (!armed && !timerFailed_) Report("cannot arm the second timer, waking without it");
  timerFailed_ = !armed;
  armedFor_ = armed && !parked_.empty() ? std::optional{parked_.begin()->first} : std::nullopt;
}

void Server::DispatchDue() {
  const Instant now = clock_->Now();
  if (parked_.empty() || !AnswerIsDue(parked_.begin()->first, now)) return;

  // Rendered first, so that a failure here leaves them parked.
  const Second second = ImmediateAnswerSecond(now);
  const Route route = Vouched() ? Route::kTimePage : Route::kClockUnsynchronised;
  ReplyFor(route, second, AfterReply::kClose);
  const std::vector<std::uint64_t> due = TakeUpTo(parked_, parked_.upper_bound(second));

  // Every reply on the wire first, the bookkeeping after, for the last client of a crowd.
  std::vector<std::uint64_t> finished;
  finished.reserve(due.size());
  for (const std::uint64_t id : due) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) continue;  // hung up while parked
    Guarded(id, [&] {
      if (StartReply(id, found->second, route, second)) finished.push_back(id);
    });
  }
  for (const std::uint64_t id : finished) {
    const auto found = connections_.find(id);
    if (found != connections_.end()) Guarded(id, [&] { FinishReply(id, found->second); });
  }
}

bool Server::StartReply(std::uint64_t id, Connection& connection, Route route, Second served) {
  std::shared_ptr<const Response> reply = ReplyFor(route, served, connection.after());
  // A refusal shows no time, so no age; a fixed time is a clock that stands still.
  std::optional<std::chrono::nanoseconds> age;
  if (options_.timing && reply->status != 503) {
    age = options_.mode == ServeMode::kFixed ? std::chrono::nanoseconds{0} : clock_->Now() - served;
  }
  return Wrote(id, connection, connection.StartReply(std::move(reply), served, age));
}

bool Server::Wrote(std::uint64_t id, Connection& connection, WriteState state) {
  if (state == WriteState::kFailed) Close(id);
  if (state != WriteState::kWouldBlock) return state == WriteState::kDone;
  if ((connection.watched & EPOLLOUT) == 0 && Rewatch(id, connection, kWriteEvents)) {
    SetDeadline(id, connection, std::chrono::steady_clock::now() + kWriteTimeout);
  }
  return false;
}

void Server::FinishReply(std::uint64_t id, Connection& connection) {
  if (options_.log) pendingLog_ += connection.LogLine();
  connection.FinishReply();
  const Mono now = std::chrono::steady_clock::now();
  if (connection.phase() == Phase::kReadingHead) {
    // The next request may be here already, sent without waiting for this reply.
    if (!Rewatch(id, connection, kReadEvents)) return;
    SetDeadline(id, connection, now + options_.headerTimeout);
    if (connection.HasBufferedHead()) Answer(id, connection);
    return;
  }
  // Lingering needs only the hang-up, which a parked client watches already.
  if ((connection.watched & EPOLLOUT) != 0 && !Rewatch(id, connection, kReadEvents)) return;
  SetDeadline(id, connection, now + kLingerTime);
}

int Server::MillisecondsToNextWake(Mono now) const {
  Mono wake = std::min(deadlines_.empty() ? Mono::max() : deadlines_.begin()->first,
                       acceptPausedUntil_.value_or(Mono::max()));
  if (timerFailed_ && !parked_.empty()) {
    wake = std::min(wake, now + std::chrono::duration_cast<Mono::duration>(
                                    Instant{parked_.begin()->first} - clock_->Now()));
  }
  if (wake == Mono::max()) return -1;  // the boundary timer and the sockets wake us
  if (wake <= now) return 0;
  // Rounded up, or the wait would end just before the deadline, and spin.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
}

void Server::Close(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  if (found->second.deadline) deadlines_.erase({*found->second.deadline, id});
  connections_.erase(found);  // its socket closes with it, which also takes it out of the set
}

}  // namespace tidewell::timepage
