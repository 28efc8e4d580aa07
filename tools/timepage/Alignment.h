#pragma once

// Answering on the second. The page names a whole second, and a client that sets its clock from
// it can only be as right as the moment the page leaves, so the server holds each request until
// the served clock reaches a whole second and then sends the page for that second at once.

#include <chrono>

#include "TimePage.h"

namespace tidewell::timepage {

// This machine's real-time clock shifted by --offset. The loop reads it only through here, so
// that a test can step it, as an operator or NTP steps the real one, without touching the real.
class ServedClock {
 public:
  explicit ServedClock(std::chrono::nanoseconds offset = {}) : offset_(offset) {}
  virtual ~ServedClock() = default;

  virtual std::chrono::nanoseconds Offset() const { return offset_; }
  // Readable when Offset() was stepped; steps of this machine's clock the timer reports.
  virtual int StepNotices() const { return -1; }
  virtual bool TakeStepNotices() { return false; }

  Instant Now() const { return Instant{std::chrono::system_clock::now()} + Offset(); }

 private:
  std::chrono::nanoseconds offset_;
};

// How late after a whole second a request may come and still be answered with that second.
inline constexpr std::chrono::milliseconds kAlignMargin{2};

// A request whose head is complete at t is answered at the whole second B = ceil(t - margin): at
// once if B is not later than t, else when the clock reaches B. So one that comes just before a
// boundary, however close, is answered at that boundary, never a second later.
inline Second AlignedAnswerSecond(Instant parsedAt) {
  return std::chrono::ceil<std::chrono::seconds>(parsedAt - kAlignMargin);
}
inline bool AnswerIsDue(Second answer, Instant now) { return answer <= now; }
inline Second ImmediateAnswerSecond(Instant now) {
  return std::chrono::floor<std::chrono::seconds>(now);
}

}  // namespace tidewell::timepage
