#include "RunSummary.h"

#include <cmath>
#include <sstream>

#include "ClockLog.h"
#include "Report.h"

namespace tidewell::bench {
namespace {

std::string LastLine(const std::string& text) {
  std::istringstream lines(text);
  std::string last;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) last = line;
  }
  return last;
}

}  // namespace

RunRecord RunAndRecord(const Tools& tools, const ProgramRun& run, double rightStep) {
  RunRecord record;
  record.measured = RunUnderInterposer(tools, run);
  const std::vector<test::ClockCall> calls = test::ReadClockLog(run.clockLog);
  record.touched = !calls.empty();
  record.error = test::StepError(calls, rightStep);
  record.lastOutput = LastLine(ReadWholeFile(run.outputFile));
  return record;
}

RunsSummary SummariseRuns(const std::vector<RunRecord>& runs) {
  RunsSummary s;
  std::vector<double> absErrors, errors, walls, rss;
  for (const RunRecord& run : runs) {
    ++s.runs;
    if (run.measured.reported && !run.measured.killed) {
      walls.push_back(run.measured.wallSeconds);
      rss.push_back(static_cast<double>(run.measured.maxRssKb));
    }
    if (!run.error) continue;
    ++s.set;
    errors.push_back(*run.error);
    absErrors.push_back(std::fabs(*run.error));
  }
  s.absError = Summarise(absErrors);
  s.error = Summarise(errors);
  s.wall = Summarise(walls);
  s.rss = Summarise(rss);
  return s;
}

std::optional<double> Median(const std::optional<Summary>& s) {
  return s ? std::optional<double>(s->median) : std::nullopt;
}
std::optional<double> P95(const std::optional<Summary>& s) {
  return s ? std::optional<double>(s->p95) : std::nullopt;
}

std::string Ms(const std::optional<double>& seconds) { return seconds ? FormatMs(*seconds) : "—"; }
std::string Secs(const std::optional<double>& seconds) {
  return seconds ? FormatSeconds(*seconds) : "—";
}
std::string Kb(const std::optional<double>& kb) {
  return kb ? FormatKb(static_cast<long>(*kb)) : "—";
}

}  // namespace tidewell::bench
