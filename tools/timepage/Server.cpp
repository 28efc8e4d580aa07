#include "Server.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Alignment.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono_literals;

// Tags in the epoll data of the server's own descriptors; connections count up from kFirstId,
// never reusing an id, so a stale event of a closed connection can never hit a new one.
constexpr std::uint64_t kListenerTag = 1;
constexpr std::uint64_t kTimerTag = 2;
constexpr std::uint64_t kStopTag = 3;
constexpr std::uint64_t kFirstId = 16;

constexpr int kEventsPerWait = 1024;
// A client that reads its reply this slowly is not going to set a clock with it.
constexpr auto kWriteTimeout = 10s;
// After the last reply on a connection our side is shut and we wait for the client to close,
// reading what it still sends, so that unread bytes cannot make the kernel reset the
// connection under a reply the client has not read yet. A client that does not close is
// dropped after this.
constexpr auto kLingerTime = 2s;

// The events of each phase: hang-ups always, input only while it is wanted.
constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr std::uint32_t kParkedEvents = EPOLLRDHUP;
constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLRDHUP;

void Report(const char* what) {
  std::fprintf(stderr, "tidewell-timepage: %s: %s\n", what, std::strerror(errno));
}

}  // namespace

Server::Server(const Options& options, UniqueFd stop)
    : options_(options),
      listener_(events_, options_.bindAddress, options_.port, kListenerTag),
      stop_(std::move(stop)),
      nextId_(kFirstId),
      parked_(options_.offset) {
  if (!events_.Add(parked_.timerFd(), EPOLLIN, kTimerTag) ||
      !events_.Add(stop_.get(), EPOLLIN, kStopTag)) {
    throw ListenError(std::string{"cannot watch a descriptor: "} + std::strerror(errno));
  }
  // The first page costs more than the others (the allocator and the formatting code warm
  // up); pay that now rather than while the first client waits.
  pages_.For(options_.mode == ServeMode::kFixed ? options_.fixedTime
                                                : ImmediateAnswerSecond(ServedNow()));
}

bool Server::Rewatch(std::uint64_t id, Connection& connection, std::uint32_t events) {
  if (connection.watched() == events) return true;
  if (!events_.Modify(connection.fd(), events, id)) {
    // Without its events the connection would hang until its time-out or for ever: drop it.
    Report("cannot watch a client, dropping it");
    Close(id);
    return false;
  }
  connection.SetWatched(events);
  return true;
}

Instant Server::ServedNow() const {
  const auto real =
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  return Instant{real.time_since_epoch()} + options_.offset;
}

bool Server::Run() {
  std::array<epoll_event, kEventsPerWait> events{};
  while (!stopping_) {
    const int timeout = MillisecondsToNextWake(std::chrono::steady_clock::now());
    const int count = events_.Wait(events, timeout);
    if (count < 0 && errno != EINTR) {
      Report("waiting for events failed");
      return false;
    }
    for (int i = 0; i < count; ++i) HandleEvent(events[i].data.u64, events[i].events);
    const Mono now = std::chrono::steady_clock::now();
    ExpireDeadlines(now);
    listener_.ResumeWhenDue(now);
    FlushLog();
  }
  return true;
}

void Server::HandleEvent(std::uint64_t tag, std::uint32_t events) {
  if (tag == kListenerTag) return AcceptClients();
  if (tag == kTimerTag) return OnTimer();
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
      return ReadRequest(id, connection);
    case Phase::kParked:
      // Only hang-ups are watched while parked: the client gave up waiting, so drop it
      // quietly; its id stays in the parked list and the dispatch skips it.
      return Close(id);
    case Phase::kWriting:
      if ((events & (EPOLLERR | EPOLLHUP)) != 0) return Close(id);
      // A client that shut only its sending side may still read the rest. Hang-ups are
      // level-triggered, so stop watching for them or the loop would spin until it can write.
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
      if (connection.DrainLingering()) Close(id);  // the client closed: the exchange is over
      return;
  }
}

void Server::AcceptClients() {
  for (UniqueFd client = listener_.Accept(); client.valid(); client = listener_.Accept()) {
    const std::uint64_t id = nextId_++;
    if (!events_.Add(client.get(), kReadEvents, id)) {
      Report("cannot watch a new client, dropping it");
      continue;  // its socket closes as it goes
    }
    Connection& connection = connections_.emplace(id, Connection{std::move(client)}).first->second;
    connection.SetWatched(kReadEvents);
    deadlines_.Set(id, connection, std::chrono::steady_clock::now() + options_.headerTimeout);
  }
}

void Server::ReadRequest(std::uint64_t id, Connection& connection) {
  switch (connection.ReadHead()) {
    case ReadOutcome::kIncomplete:
      return;
    case ReadOutcome::kHead:
      return Answer(id, connection);
    case ReadOutcome::kGone:
      return Close(id);
  }
}

void Server::Answer(std::uint64_t id, Connection& connection) {
  connection.TakeHead();
  deadlines_.Set(id, connection, std::nullopt);

  const Instant now = ServedNow();
  const bool keepOpen = connection.keepOpen();
  bool finished = false;
  if (connection.request().route != Route::kTimePage) {
    const Second dated =
        options_.mode == ServeMode::kFixed ? options_.fixedTime : ImmediateAnswerSecond(now);
    const ConnectionHeader header =
        keepOpen ? ConnectionHeader::kKeepAlive : ConnectionHeader::kClose;
    auto reply =
        std::make_shared<const Response>(ErrorResponse(connection.request().route, dated, header));
    finished = StartReply(id, connection, std::move(reply), dated);
  } else if (options_.mode == ServeMode::kFixed) {
    finished = StartReply(id, connection, pages_.For(options_.fixedTime).For(keepOpen),
                          options_.fixedTime);
  } else if (options_.mode == ServeMode::kImmediate) {
    const Second second = ImmediateAnswerSecond(now);
    finished = StartReply(id, connection, pages_.For(second).For(keepOpen), second);
  } else if (const Second answer = AlignedAnswerSecond(now); AnswerIsDue(answer, now)) {
    finished = StartReply(id, connection, pages_.For(answer).For(keepOpen), answer);
  } else {
    return Park(id, connection, answer);
  }
  if (finished) FinishReply(id, connection);
}

void Server::Park(std::uint64_t id, Connection& connection, Second answer) {
  connection.Park();
  if (!Rewatch(id, connection, kParkedEvents)) return;
  // Render the page now, while there is time, so that the boundary itself only writes.
  pages_.For(answer);
  parked_.Add(answer, id);
}

void Server::OnTimer() {
  // The clock was set: what is now parked beyond the next whole second is answered then, so
  // a clock stepped back does not leave clients waiting for the old second.
  if (parked_.ReadTimer()) parked_.ParkLaterOnesAt(AlignedAnswerSecond(ServedNow()));
  DispatchDue();
  parked_.ArmForEarliest();
}

void Server::DispatchDue() {
  const Instant now = ServedNow();
  const std::vector<std::uint64_t> due = parked_.TakeDue(now);
  if (due.empty()) return;

  // Normally the current second is the one they were parked for. Should the loop have been
  // held up past it, the page names the second it actually leaves in.
  const Second second = ImmediateAnswerSecond(now);
  const Pages pages = pages_.For(second);

  // First put every reply on the wire, then do the bookkeeping, so that the last client of a
  // crowd gets its page as early as it can.
  std::vector<std::uint64_t> finished;
  finished.reserve(due.size());
  for (const std::uint64_t id : due) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) continue;  // hung up while parked
    if (StartReply(id, found->second, pages.For(found->second.keepOpen()), second)) {
      finished.push_back(id);
    }
  }
  // A kept connection may find its next request already read and be answered again from
  // here; that touches only its own entry.
  for (const std::uint64_t id : finished) {
    const auto found = connections_.find(id);
    if (found != connections_.end()) FinishReply(id, found->second);
  }
}

bool Server::StartReply(std::uint64_t id, Connection& connection,
                        std::shared_ptr<const Response> reply, Second served) {
  switch (connection.StartReply(std::move(reply), served)) {
    case WriteState::kDone:
      return true;
    case WriteState::kWouldBlock:
      if (Rewatch(id, connection, kWriteEvents)) {
        deadlines_.Set(id, connection, std::chrono::steady_clock::now() + kWriteTimeout);
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
  if (connection.phase() == Phase::kReadingHead) return AwaitNextRequest(id, connection);
  // Waiting for the client's close needs only its hang-up. A parked client already watches
  // for nothing else, and leaving it so saves a system call per client at a busy boundary.
  if ((connection.watched() & EPOLLOUT) != 0 && !Rewatch(id, connection, kReadEvents)) return;
  deadlines_.Set(id, connection, std::chrono::steady_clock::now() + kLingerTime);
}

void Server::AwaitNextRequest(std::uint64_t id, Connection& connection) {
  // The next request is under the header time-out like the first: an idle kept connection is
  // closed when it runs out.
  if (!Rewatch(id, connection, kReadEvents)) return;
  deadlines_.Set(id, connection, std::chrono::steady_clock::now() + options_.headerTimeout);
  // Requests the client sent without waiting for this reply may already be here.
  if (connection.HasBufferedHead()) Answer(id, connection);
}

void Server::FlushLog() {
  if (pendingLog_.empty()) return;
  std::fwrite(pendingLog_.data(), 1, pendingLog_.size(), stdout);
  std::fflush(stdout);
  pendingLog_.clear();
}

void Server::ExpireDeadlines(Mono now) {
  // A head that does not arrive in time (the first, or the next on a kept connection), a reply
  // the client does not take, or a lingering client that does not close: all end the same way.
  while (const auto id = deadlines_.Expired(now)) Close(*id);
}

int Server::MillisecondsToNextWake(Mono now) const {
  std::optional<Mono> wake = deadlines_.Earliest();
  const std::optional<Mono> resume = listener_.PausedUntil();
  if (resume && (!wake || *resume < *wake)) wake = resume;
  if (!wake) return -1;  // the boundary timer and the sockets wake us
  if (*wake <= now) return 0;
  // Rounded up, so that the wait never ends just before the deadline and spins.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count());
}

void Server::Close(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  deadlines_.Forget(id, found->second);
  connections_.erase(found);  // its socket closes with it, which also takes it out of the set
}

}  // namespace tidewell::timepage
