// The answers of the time-page server: a request answered at once or parked for its second,
// the dispatch of everything due at a whole second, and the replies' bookkeeping.
#include <algorithm>
#include <memory>
#include <vector>

#include "Alignment.h"
#include "ServerLoop.h"

namespace tidewell::timepage {

using namespace loop;

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
  } else if (options_.mode == ServeMode::kImmediate || AnswersAtOnce(connection.request())) {
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

bool Server::AnswersAtOnce(const RoutedRequest& request) const {
  // A client that reads the figures takes the page's age into account itself: holding it to
  // the next second would only keep it waiting.
  return options_.timing && request.preferNoHold;
}

std::optional<std::chrono::nanoseconds> Server::AgeOf(Second served) const {
  if (!options_.timing) return std::nullopt;
  // A fixed time is a clock that stands still: its page is never older than its second.
  if (options_.mode == ServeMode::kFixed) return std::chrono::nanoseconds{0};
  return std::max(std::chrono::nanoseconds{0}, ServedNow() - served);
}

bool Server::StartReply(std::uint64_t id, Connection& connection,
                        std::shared_ptr<const Response> reply, Second served) {
  switch (connection.StartReply(std::move(reply), served, AgeOf(served))) {
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

}  // namespace tidewell::timepage
