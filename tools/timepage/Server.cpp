#include "Server.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Alignment.h"

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

constexpr int kEventsPerWait = 1024;
// A client that reads its reply this slowly is not going to set a clock with it.
constexpr auto kWriteTimeout = 10s;
// After the last reply on a connection our side is shut and we wait for the client to close,
// reading what it still sends, so that unread bytes cannot make the kernel reset the
// connection under a reply the client has not read yet. A client that does not close is
// dropped after this.
constexpr auto kLingerTime = 2s;
// When no descriptor is left for a new client, one that has waited at least this long for its
// request head is closed to make room: a client of the time page sends its request as soon as
// it is connected, so the longest waiting are the ones holding a place without using it.
constexpr auto kShortestWaitDropped = 250ms;

// The events of each phase: hang-ups always, input only while it is wanted.
constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;
constexpr std::uint32_t kParkedEvents = EPOLLRDHUP;
constexpr std::uint32_t kWriteEvents = EPOLLOUT | EPOLLRDHUP;

void Report(const char* what) {
  std::fprintf(stderr, "tidewell-timepage: %s: %s\n", what, std::strerror(errno));
}

}  // namespace

Server::Server(const Options& options, UniqueFd stop, std::unique_ptr<ServedClock> clock)
    : options_(options),
      clock_(clock ? std::move(clock) : std::make_unique<ShiftedSystemClock>(options_.offset)),
      listener_(events_, options_.bindAddress, options_.port, kListenerTag),
      stop_(std::move(stop)),
      nextId_(kFirstId),
      parked_(*clock_) {
  const int steps = clock_->StepNotices();
  if (!events_.Add(parked_.timerFd(), EPOLLIN, kTimerTag) ||
      !events_.Add(stop_.get(), EPOLLIN, kStopTag) ||
      (steps >= 0 && !events_.Add(steps, EPOLLIN, kClockStepTag))) {
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

Instant Server::ServedNow() const { return clock_->Now(); }

bool Server::Run() {
  std::array<epoll_event, kEventsPerWait> events{};
  while (!stopping_) {
    const int timeout = MillisecondsToNextWake(std::chrono::steady_clock::now());
    const int count = events_.Wait(events, timeout);
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
    ExpireDeadlines(now);
    listener_.ResumeWhenDue(now);
    FlushLog();
  }
  return true;
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
      return ReadRequest(id, connection);
    case Phase::kParked:
      // Only hang-ups are watched while parked. A reset means the client is gone: drop it
      // quietly; its id stays in the parked list and the dispatch skips it.
      if ((events & (EPOLLERR | EPOLLHUP)) != 0) return Close(id);
      // Only the client's sending side has ended. It may have shut it after its request (as
      // `nc -q` and some scripts do) and wait for the page, or have closed altogether; which
      // of the two shows only when the page is written, and a client that has gone resets the
      // connection then and is dropped without a word. So it stays parked; hang-ups are
      // level-triggered, so this one is no longer watched or the loop would spin till then.
      connection.NoteClientDoneSending();
      Rewatch(id, connection, 0);
      return;
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
  bool madeRoom = false;
  for (;;) {
    Listener::Accepted accepted = listener_.Accept();
    if (accepted.outcome == Listener::Outcome::kOutOfDescriptors) {
      // Make room by closing the client that has waited longest for its head. When that did
      // not help (memory, not descriptors, ran out) or no client qualifies, stop accepting
      // for a moment: the clients already taken are served meanwhile, and their leaving makes
      // room.
      if (!madeRoom && DropLongestWaiting(std::chrono::steady_clock::now())) {
        madeRoom = true;
        continue;
      }
      listener_.Pause();
      return;
    }
    if (accepted.outcome != Listener::Outcome::kClient) return;
    madeRoom = false;
    UniqueFd client = std::move(accepted.client);
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

bool Server::DropLongestWaiting(Mono now) {
  // In time-out order up to the first client still waiting for its head: a lingering one
  // before it has its page and only holds its place until its client closes; the first one
  // waiting for its head has waited longest of all that do.
  const auto candidate = deadlines_.EarliestOf([this](std::uint64_t id) {
    const auto found = connections_.find(id);
    return found != connections_.end() && (found->second.phase() == Phase::kReadingHead ||
                                           found->second.phase() == Phase::kLingering);
  });
  if (!candidate) return false;
  Connection& connection = connections_.at(candidate->second);
  if (connection.phase() == Phase::kLingering) {
    // Read what the client still sent first: closing on unread bytes would reset the
    // connection, and the client could lose the page it has not read yet.
    connection.DrainLingering();
  } else if (candidate->first - options_.headerTimeout > now - kShortestWaitDropped) {
    return false;  // its header time-out started when it began to wait: not long enough
  }
  Close(candidate->second);
  return true;
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
  const bool armed = parked_.Add(answer, id);
  if (!armed && !timerFailed_) Report("cannot arm the second timer, waking without it");
  timerFailed_ = timerFailed_ || !armed;
}

void Server::OnTimer() {
  // The clock was stepped (this machine's, which cancels the timer, or the served clock's
  // offset): every parked request is answered at the next whole second of the new clock, so
  // that none waits for an old second an hour away, and none goes out in mid-second.
  const bool timerCancelled = parked_.ReadTimer();
  const bool offsetStepped = clock_->TakeStepNotices();
  if (timerCancelled || offsetStepped) parked_.ParkAllAt(AlignedAnswerSecond(ServedNow()));
  try {
    DispatchDue();
  } catch (...) {
    ArmTimer();  // whatever stays parked still needs its wake-up
    throw;
  }
  ArmTimer();
}

void Server::ArmTimer() {
  const bool armed = parked_.ArmForEarliest();
  if (!armed && !timerFailed_) Report("cannot arm the second timer, waking without it");
  timerFailed_ = !armed;
}

void Server::DispatchDue() {
  const Instant now = ServedNow();
  const std::optional<Second> earliest = parked_.Earliest();
  if (!earliest || !AnswerIsDue(*earliest, now)) return;

  // Normally the current second is the one they were parked for. Should the loop have been
  // held up past it, the page names the second it actually leaves in. Rendered before the
  // clients are taken from the list, so that a failure here leaves them parked.
  const Second second = ImmediateAnswerSecond(now);
  const Pages pages = pages_.For(second);
  const std::vector<std::uint64_t> due = parked_.TakeDue(now);

  // First put every reply on the wire, then do the bookkeeping, so that the last client of a
  // crowd gets its page as early as it can.
  std::vector<std::uint64_t> finished;
  finished.reserve(due.size());
  for (const std::uint64_t id : due) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) continue;  // hung up while parked
    Guarded(id, [&] {
      if (StartReply(id, found->second, pages.For(found->second.keepOpen()), second)) {
        finished.push_back(id);
      }
    });
  }
  // A kept connection may find its next request already read and be answered again from
  // here; that touches only its own entry.
  for (const std::uint64_t id : finished) {
    const auto found = connections_.find(id);
    if (found != connections_.end()) Guarded(id, [&] { FinishReply(id, found->second); });
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
  if (const std::optional<Second> parked = parked_.Earliest(); timerFailed_ && parked) {
    const Mono due =
        now + std::chrono::duration_cast<Mono::duration>(Instant{*parked} - ServedNow());
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
  deadlines_.Forget(id, found->second);
  connections_.erase(found);  // its socket closes with it, which also takes it out of the set
}

}  // namespace tidewell::timepage
