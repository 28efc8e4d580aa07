#include "Alignment.h"

namespace tidewell::timepage {

Second AlignedAnswerSecond(Instant parsedAt) {
  return std::chrono::ceil<std::chrono::seconds>(parsedAt - kAlignMargin);
}

bool AnswerIsDue(Second answer, Instant now) { return answer <= now; }

Second ImmediateAnswerSecond(Instant now) { return std::chrono::floor<std::chrono::seconds>(now); }

}  // namespace tidewell::timepage
