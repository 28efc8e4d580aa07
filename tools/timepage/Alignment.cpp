#include "Alignment.h"

#include <sys/timerfd.h>

#include <cerrno>

namespace tidewell::timepage {

Second AlignedAnswerSecond(Instant parsedAt) {
  return std::chrono::ceil<std::chrono::seconds>(parsedAt - kAlignMargin);
}

bool AnswerIsDue(Second answer, Instant now) { return answer <= now; }

Second ImmediateAnswerSecond(Instant now) { return std::chrono::floor<std::chrono::seconds>(now); }

bool ParkedRequests::Add(Second answer, std::uint64_t id) {
  parked_[answer].push_back(id);
  return (armedFor_ && *armedFor_ <= answer) || ArmForEarliest();
}

bool ParkedRequests::ReadTimer() {
  std::uint64_t expirations = 0;
  return ::read(timer_.get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED;
}

void ParkedRequests::ParkAllAt(Second next) {
  if (parked_.empty()) return;
  // In the order they were parked: earlier seconds first, and within a second as they came.
  std::vector<std::uint64_t> moved;
  for (auto& [second, ids] : parked_) moved.insert(moved.end(), ids.begin(), ids.end());
  parked_.clear();
  parked_.emplace(next, std::move(moved));
}

std::optional<Second> ParkedRequests::Earliest() const {
  if (parked_.empty()) return std::nullopt;
  return parked_.begin()->first;
}

std::vector<std::uint64_t> ParkedRequests::TakeDue(Instant now) {
  const auto end = parked_.upper_bound(std::chrono::floor<std::chrono::seconds>(now));
  // Counted first, so that nothing leaves the list unless all of it fits in the result.
  std::size_t count = 0;
  for (auto it = parked_.begin(); it != end; ++it) count += it->second.size();
  std::vector<std::uint64_t> due;
  due.reserve(count);
  for (auto it = parked_.begin(); it != end; ++it) {
    due.insert(due.end(), it->second.begin(), it->second.end());
  }
  parked_.erase(parked_.begin(), end);
  return due;
}

bool ParkedRequests::ArmForEarliest() {
  itimerspec setting{};  // all zero disarms
  armedFor_.reset();
  if (!parked_.empty()) {
    // The timer runs on this machine's clock; the served clock is ahead of it by the offset.
    const auto at = Instant{parked_.begin()->first} - clock_.Offset();
    const auto whole = std::chrono::floor<std::chrono::seconds>(at);
    setting.it_value = {static_cast<time_t>(whole.time_since_epoch().count()),
                        static_cast<long>((at - whole).count())};
  }
  // Cancel-on-set: if someone sets this machine's clock, the read fails with ECANCELED and
  // the parked requests are looked at again against the new clock.
  if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &setting,
                        nullptr) != 0) {
    return false;
  }
  if (!parked_.empty()) armedFor_ = parked_.begin()->first;
  return true;
}

}  // namespace tidewell::timepage
