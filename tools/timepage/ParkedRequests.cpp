#include "ParkedRequests.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
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

ParkedRequests::ParkedRequests(std::chrono::nanoseconds offset)
    : offset_(offset), timer_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!timer_.valid()) {
    throw ListenError(std::string{"cannot create the second timer: "} + std::strerror(errno));
  }
}

void ParkedRequests::Add(Second answer, std::uint64_t id) {
  parked_[answer].push_back(id);
  if (!armedFor_ || answer < *armedFor_) ArmForEarliest();
}

bool ParkedRequests::ReadTimer() {
  std::uint64_t expirations = 0;
  return ::read(timer_.get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED;
}

void ParkedRequests::ParkLaterOnesAt(Second next) {
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

std::vector<std::uint64_t> ParkedRequests::TakeDue(Instant now) {
  std::vector<std::uint64_t> due;
  while (!parked_.empty() && AnswerIsDue(parked_.begin()->first, now)) {
    auto& ids = parked_.begin()->second;
    due.insert(due.end(), ids.begin(), ids.end());
    parked_.erase(parked_.begin());
  }
  return due;
}

void ParkedRequests::ArmForEarliest() {
  itimerspec setting{};  // all zero disarms
  armedFor_.reset();
  if (!parked_.empty()) {
    armedFor_ = parked_.begin()->first;
    // The timer runs on this machine's clock; the served clock is ahead of it by the offset.
    setting.it_value = ToTimespec(Instant{*armedFor_} - offset_);
  }
  // Cancel-on-set: if someone sets this machine's clock, the read fails with ECANCELED and
  // the parked requests are looked at again against the new clock.
  ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &setting, nullptr);
}

}  // namespace tidewell::timepage
