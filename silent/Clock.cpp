#include "Clock.h"

namespace tidewell {
namespace {

constexpr const char* kProgramName = "fenwhit";

// Where the right to set the clock comes from, for the line that says it was missing.
#ifdef _WIN32
constexpr const char* kClockRightHint = "needs the right to change the system time";
#else
constexpr const char* kClockRightHint = "needs CAP_SYS_TIME or polkit's permission";
#endif

std::string Line(const std::string& what) { return std::string(kProgramName) + ": " + what; }

}  // namespace

void Clock::Form_Load() {
  const SilentOutcome outcome = Outcome(DoAtomicTime());
  if (outcome.status == kStatusClockSet) {
    runtime_.EndProgram();  // success stays silent
  } else {
    runtime_.EndProgramFailing(outcome.status, outcome.line);
  }
}

SilentOutcome Clock::Outcome(bool clockSet) const {
  if (clockSet) return {};
  switch (m_EnmFailure) {
    case AtomicTimeFailure::NoTimeEntry:
      return {kStatusNoTimeEntry, Line("the page has no Universal time entry")};
    case AtomicTimeFailure::ClockRefused:
      return {kStatusClockRefused, Line("the system refused to change the clock (" +
                                        std::string(kClockRightHint) + ")")};
    case AtomicTimeFailure::NoPage:
    case AtomicTimeFailure::NoFailure:
      break;
  }
  const std::string why = m_StrFailure.empty() ? "the page is empty" : m_StrFailure;
  return {kStatusUnreachable, Line("cannot reach " + TimePageAddress() + ": " + why)};
}

}  // namespace tidewell
