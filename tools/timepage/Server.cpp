#include "Server.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "Alignment.h"
#include "ServerLoop.h"

namespace tidewell::timepage {

using namespace loop;

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
