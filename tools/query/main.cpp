// tidewell-query: asks the time page how far off this machine's clock is, without changing it.
// It runs the programs' own synchronisation with the clock-setting step only recorded.
#include <getopt.h>

#include <cstdio>
#include <optional>
#include <string>

#include "DryRunPlatform.h"
#include "NativePlatform.h"
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
    "\n"
    "  --host HOST[:PORT]  ask this host's /cgi-bin/timer.pl instead of the built-in one\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Exit status: 0 a time was obtained, 1 no time (no page or no time entry),\n"
    "2 the page's time entry raised a run-time error, or a wrong command line.\n";

struct Options {
  std::string host;
  bool help = false;
  bool version = false;
};

enum LongOnly : int { kHost = 256, kVersion };

constexpr option kLongOptions[] = {
    {"host", required_argument, nullptr, kHost},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Why getopt_long refused an option: see optopt, which names a flag given a value
// ("--help=x"), or the unknown letter of a short option, or is 0 for an unknown long option.
std::string RefusalText(int code, const char* argument) {
  if (code == kHost) return "--host needs HOST[:PORT]";
  if (code == 'h') return "option '--help' takes no value";
  if (code == kVersion) return "option '--version' takes no value";
  if (code == 0) return std::string{"unknown option '"} + argument + "'";
  return std::string{"unknown option '-"} + static_cast<char>(code) + "'";
}

// The options, or why the command line is wrong.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  Options options;
  ::opterr = 0;  // reported by the caller, in one line
  // '+': stop at the first operand, which is an error; ':': a missing value returns ':'.
  for (int code; (code = ::getopt_long(argc, argv, "+:h", kLongOptions, nullptr)) != -1;) {
    if (code == 'h') {
      options.help = true;
    } else if (code == kVersion) {
      options.version = true;
    } else if (code == kHost) {
      options.host = ::optarg;
    } else {
      error = RefusalText(code == ':' ? kHost : ::optopt, argv[::optind - 1]);
      return std::nullopt;
    }
  }
  if (::optind < argc) {
    error = std::string{"unexpected argument '"} + argv[::optind] + "'";
    return std::nullopt;
  }
  return options;
}

void PrintReport(const tidewell::DryRunPlatform::Request& request, std::int32_t biasMinutes,
                 const std::string& address) {
  using namespace tidewell;
  const double offset = ClockOffsetSeconds(request.requested, biasMinutes, request.systemAtRequest);
  std::printf("time page:       %s\n", address.c_str());
  std::printf("universal time:  %s\n",
              HhMmSs(UniversalTimeOfDay(request.requested, biasMinutes)).c_str());
  std::printf("bias minutes:    %d\n", biasMinutes);
  std::printf("would set clock: %04d-%02d-%02d %s (local)\n", request.requested.Year(),
              request.requested.Month(), request.requested.Day(),
              HhMmSs(request.requested).c_str());
  std::printf("clock offset:    %+.3f s (%s)\n", offset,
              offset > 0   ? "this clock is behind"
              : offset < 0 ? "this clock is ahead"
                           : "exact");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tidewell;
  std::string error;
  const std::optional<Options> options = ParseOptions(argc, argv, error);
  if (!options) return tools::UsageError(kProgram, error);
  if (options->help) {
    std::fputs(kUsage, stdout);
    return kExitTimeObtained;
  }
  if (options->version) return tools::PrintVersion(kProgram);

  auto native = CreateNativePlatform({.interactive = false});
  DryRunPlatform platform(*native, options->host);
  TimeCore core(platform);
  const std::string address = options->host.empty()
                                  ? TimePageAddress()
                                  : DryRunPlatform::WithHost(TimePageAddress(), options->host);
  try {
    const MonthDay today = platform.Today();
    const std::int32_t biasMinutes =
        BiasMinutes(platform.ReadTimeZoneSettings(), today.Month, today.Day);
    if (!core.DoAtomicTime() || !platform.LastRequest()) {
      std::printf("time page:       %s\nno time obtained (no page, or no time entry on it)\n",
                  address.c_str());
      return kExitNoTime;
    }
    PrintReport(*platform.LastRequest(), biasMinutes, address);
    return kExitTimeObtained;
  } catch (const RuntimeError& error) {
    std::fprintf(stderr, "tidewell-query: run-time error %d: %s\n", error.Number(),
                 error.Description().c_str());
    return kExitRuntimeError;
  }
}
