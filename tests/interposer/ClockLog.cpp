#include "ClockLog.h"

#include <cstdlib>
#include <sstream>

#include "ScratchDirectory.h"

namespace tidewell::test {
namespace {

std::optional<std::string> Field(const std::string& line, const std::string& name) {
  const std::string key = " " + name + "=";
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t start = at + key.size();
  return line.substr(start, line.find(' ', start) - start);
}

// "1796649146.000000005" or "-0.250000000" as nanoseconds. Going through a double would lose the
// nanoseconds of a time near 1.8e9 s; the step between two such times would keep only a few.
std::optional<long long> Nanoseconds(const std::optional<std::string>& text) {
  if (!text || text->empty() || *text == "none") return std::nullopt;
  const bool negative = (*text)[0] == '-';
  const std::string digits = negative ? text->substr(1) : *text;
  const std::size_t dot = digits.find('.');
  long long seconds = std::atoll(digits.substr(0, dot).c_str());
  long long fraction = 0;
  if (dot != std::string::npos) {
    std::string part = digits.substr(dot + 1, 9);
    part.resize(9, '0');
    fraction = std::atoll(part.c_str());
  }
  const long long total = seconds * 1'000'000'000LL + fraction;
  return negative ? -total : total;
}

// "0x2001" or "16000" as a number; empty for "none" or a field that is not there.
std::optional<long long> Number(const std::optional<std::string>& text) {
  if (!text || text->empty() || *text == "none") return std::nullopt;
  return std::strtoll(text->c_str(), nullptr, 0);
}

std::optional<double> Seconds(std::optional<long long> nanoseconds) {
  if (!nanoseconds) return std::nullopt;
  return static_cast<double>(*nanoseconds) / 1e9;
}

std::optional<double> StepOf(const std::string& function, const std::string& line) {
  if (function == "clock_settime" || function == "settimeofday") {
    const auto requested = Nanoseconds(Field(line, "requested"));
    const auto real = Nanoseconds(Field(line, "real"));
    if (!requested || !real) return std::nullopt;
    return Seconds(*requested - *real);
  }
  if (function == "adjtime") return Seconds(Nanoseconds(Field(line, "delta")));
  // adjtimex, ntp_adjtime, clock_adjtime: only a step (ADJ_SETOFFSET) moves the clock at once.
  return Seconds(Nanoseconds(Field(line, "setoffset")));
}

}  // namespace

std::vector<std::string> UnderInterposer(const std::string& log, bool refuse,
                                         const std::vector<std::string>& command) {
  std::vector<std::string> argv{TIDEWELL_INTERPOSER_WRAPPER, "--lib", TIDEWELL_INTERPOSER_LIBRARY,
                                "--log", log};
  if (refuse) argv.push_back("--refuse");
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

std::vector<ClockCall> ReadClockLog(const std::string& path) {
  std::vector<ClockCall> calls;
  std::istringstream lines(ReadWholeFile(path));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    ClockCall call;
    call.function = line.substr(0, line.find(' '));
    call.line = line;
    call.result = Field(line, "result").value_or("");
    call.requested = Seconds(Nanoseconds(Field(line, "requested"))).value_or(0);
    call.real = Seconds(Nanoseconds(Field(line, "real"))).value_or(0);
    call.step = StepOf(call.function, line);
    call.modes = Number(Field(line, "modes"));
    call.status = Number(Field(line, "status"));
    call.maxerror = Number(Field(line, "maxerror"));
    call.esterror = Number(Field(line, "esterror"));
    calls.push_back(std::move(call));
  }
  return calls;
}

std::optional<double> StepError(const std::vector<ClockCall>& calls, double rightStep) {
  for (const ClockCall& call : calls) {
    if (call.step) return *call.step - rightStep;
  }
  return std::nullopt;
}

}  // namespace tidewell::test
