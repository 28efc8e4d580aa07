#include "ParkedRequests.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Address.h"
#include "Alignment.h"

namespace tidewell::timepage {
namespace {

timespec ToTimespec(Instant instant) {
  const auto since = instant.time_since_epoch();
  const auto whole = std::chrono::floor<std::chrono::seconds>(since);
  return {static_cast<time_t>(whole.count()),
          static_cast<long>(std::chrono::nanoseconds{since - whole}.count())};
}

}  // namespace

ParkedRequests::ParkedRequests(const ServedClock& clock)
    : clock_(clock), timer_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!timer_.valid()) {
    throw ListenError(std::string{"cannot create the second timer: "} + std::strerror(errno));
  }
}

bool ParkedRequests::Add(Second answer, std::uint64_t id) {
  parked_[answer].push_back(id);
  if (!armedFor_ || answer < *armedFor_) return ArmForEarliest();
  return true;
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
  std::map<Second, std::vector<std::uint64_t>> replacement;
  replacement.emplace(next, std::move(moved));
  parked_.swap(replacement);
}

std::optional<Second> ParkedRequests::Earliest() const {
  if (parked_.empty()) return std::nullopt;
  return parked_.begin()->first;
}

std::vector<std::uint64_t> ParkedRequests::TakeDue(Instant now) {
  // Counted first, so that nothing leaves the list unless all of it fits in the result.
  std::size_t count = 0;
  for (auto it = parked_.begin(); it != parked_.end() && AnswerIsDue(it->first, now); ++it) {
    count += it->second.size();
  }
  std::vector<std::uint64_t> due;
  due.reserve(count);
  while (!parked_.empty() && AnswerIsDue(parked_.begin()->first, now)) {
    auto& ids = parked_.begin()->second;
    due.insert(due.end(), ids.begin(), ids.end());
    parked_.erase(parked_.begin());
  }
  return due;
}

bool ParkedRequests::ArmForEarliest() {
  itimerspec setting{};  // all zero disarms
  armedFor_.reset();
  if (!parked_.empty()) {
    // The timer runs on this machine's clock; the served clock is ahead of it by the offset.
    setting.it_value = ToTimespec(Instant{parked_.begin()->first} - clock_.Offset());
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
