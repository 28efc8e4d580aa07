// tidewell-query: asks the time page how far off this machine's clock is, without changing it.
// It runs the programs' own synchronisation with the clock-setting step only recorded.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "DryRunPlatform.h"
#include "NativePlatform.h"
#include "QueryOptions.h"
#include "QueryReport.h"
#include "RuntimeError.h"
#include "TimeCore.h"
#include "ToolCommandLine.h"

namespace {

constexpr const char* kProgram = "tidewell-query";
constexpr int kExitTimeObtained = 0;
constexpr int kExitNoTime = 1;
constexpr int kExitRuntimeError = 2;

constexpr const char* kUsage =
    "usage: tidewell-query [--host HOST[:PORT]]\n"
    "\n"
    "Fetches the time page, shows the Universal Time it gives, the local time the\n"
    "programs would set and how far this machine's clock is off. The clock is never set.\n"
    "When the reply carries the time-page server's Server-Timing figures, it also shows\n"
    "the estimated one-way delay and the page's age, and the offset includes them.\n"
    "\n"
    "  --host HOST[:PORT]  ask this host's /cgi-bin/timer.pl instead of the built-in one\n"
    "                      (https://HOST[:PORT] or http://HOST[:PORT] chooses the scheme)\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Exit status: 0 a time was obtained, 1 no time (no page or no time entry),\n"
    "2 the page's time entry raised a run-time error, or a wrong command line.\n";

void PrintReport(const tidewell::DryRunPlatform::Request& request, const std::string& address) {
  using namespace tidewell;
  // The bias the synchronisation itself used: on the day of a change it depends on the page.
  const std::int32_t biasMinutes = request.biasMinutes;
  // The requested time is the page's whole second brought up to date by the reply's figures.
  const double offset =
      ClockOffsetSeconds(request.requested, biasMinutes, request.systemAtRequest, request.fraction);
  std::printf("time page:       %s\n", address.c_str());
  std::printf("universal time:  %s\n",
              HhMmSs(UniversalTimeOfDay(request.requested, biasMinutes)).c_str());
  std::printf("bias minutes:    %d\n", biasMinutes);
  std::printf("would set clock: %04d-%02d-%02d %s (local)\n", request.requested.Year(),
              request.requested.Month(), request.requested.Day(),
              HhMmSs(request.requested).c_str());
  if (request.reply && !FiguresCanBeTrue(*request.reply)) {
    std::printf(
        "one-way delay:   unknown (the reply's Server-Timing figures cannot be true;\n"
        "                 the page's whole second is taken as it is)\n");
  } else if (request.reply) {
    std::printf("one-way delay:   %s (estimated: half the exchange the server did not hold)\n",
                Milliseconds(OneWayDelay(*request.reply)).c_str());
    std::printf("page age:        %s (past its second when the server sent it)\n",
                Milliseconds(request.reply->server.age).c_str());
  } else {
    std::printf(
        "one-way delay:   unknown (the reply carried no Server-Timing figures;\n"
        "                 the page's whole second is taken as it is)\n");
  }
  std::printf("clock offset:    %+.3f s (%s)\n", offset,
              offset > 0   ? "this clock is behind"
              : offset < 0 ? "this clock is ahead"
                           : "exact");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tidewell;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const query::ParsedOptions parsed = query::ParseOptions(args);
  if (!parsed.options) return tools::UsageError(kProgram, parsed.error);
  const query::Options& options = *parsed.options;
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitTimeObtained;
  }
  if (options.version) return tools::PrintVersion(kProgram);

  auto native = CreateNativePlatform({.interactive = false});
  DryRunPlatform platform(*native, options.host);
  TimeCore core(platform);
  const std::string address = options.host.empty()
                                  ? TimePageAddress()
                                  : DryRunPlatform::WithHost(TimePageAddress(), options.host);
  try {
    if (!core.DoAtomicTime() || !platform.LastRequest()) {
      std::printf("time page:       %s\nno time obtained (no page, or no time entry on it)\n",
                  address.c_str());
      if (!platform.LastFailure().empty()) {
        std::printf("why:             %s\n", platform.LastFailure().c_str());
      }
      return kExitNoTime;
    }
    PrintReport(*platform.LastRequest(), address);
    return kExitTimeObtained;
  } catch (const RuntimeError& error) {
    std::fprintf(stderr, "tidewell-query: run-time error %d: %s\n", error.Number(),
                 error.Description().c_str());
    return kExitRuntimeError;
  }
}
