#pragma once

// When the server answers a request for the time page. The page names a whole second, and a
// client that sets its clock from it can only be as right as the moment the page leaves, so
// the server holds each request until its clock reaches a whole second and then sends the
// page for that second at once.

#include <chrono>

#include "TimePage.h"

namespace tidewell::timepage {

// How late after a whole second a request may come and still be answered with that second.
inline constexpr std::chrono::milliseconds kAlignMargin{2};

// The alignment rule. A request whose head is complete at time t on the served clock is
// answered at the whole second
//
//     B = ceil(t - kAlignMargin)
//
// If B is not later than t (t lies on a whole second or at most kAlignMargin after one), the
// reply goes out at once and carries B: it leaves no more than the margin after its second.
// Otherwise the request is held until the clock reaches B, which is the next whole second
// after t, and the reply carries B and leaves then. A request that comes just before a
// boundary, however close, is answered at that boundary, never a second later.
Second AlignedAnswerSecond(Instant parsedAt);

// Whether the reply for `answer` may go out at `now` rather than wait.
bool AnswerIsDue(Second answer, Instant now);

// With alignment off the page shows the current second, truncated.
Second ImmediateAnswerSecond(Instant now);

}  // namespace tidewell::timepage
