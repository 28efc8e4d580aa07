#include "Alignment.h"

#include <sys/timerfd.h>

#include <cerrno>

namespace tidewell::timepage {

bool ParkedRequests::Add(Second answer, std::uint64_t id) {
  parked_[answer].push_back(id);
  return (armedFor_ && *armedFor_ <= answer) || ArmForEarliest();
}

bool ParkedRequests::ReadTimer() {
  std::uint64_t expirations = 0;
  return ::read(timer_.get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED;
}

void ParkedRequests::ParkAllAt(Second next) {
  std::vector<std::uint64_t> all = TakeUpTo(parked_.end());
  if (!all.empty()) parked_.emplace(next, std::move(all));
}

std::optional<Second> ParkedRequests::Earliest() const {
  if (parked_.empty()) return std::nullopt;
  return parked_.begin()->first;
}

std::vector<std::uint64_t> ParkedRequests::TakeDue(Instant now) {
  return TakeUpTo(parked_.upper_bound(std::chrono::floor<std::chrono::seconds>(now)));
}

std::vector<std::uint64_t> ParkedRequests::TakeUpTo(Parked::iterator end) {
  std::vector<std::uint64_t> taken;
  for (auto it = parked_.begin(); it != end; ++it) {
    taken.insert(taken.end(), it->second.begin(), it->second.end());
  }
  // Only now, so that nothing leaves the list unless all of it is in the result.
  parked_.erase(parked_.begin(), end);
  return taken;
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
