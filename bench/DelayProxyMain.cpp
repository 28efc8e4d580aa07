// tidewell_bench_delay_proxy: a loopback TCP proxy that delays each direction, standing in for a
// network path between the programs and the time-page server (see DelayProxy.h).
//
//   tidewell_bench_delay_proxy --listen ADDR:PORT --upstream ADDR:PORT
//                              [--up-ms MS] [--down-ms MS] [--max-seconds S]
//
// Both addresses are IPv4 loopback (127.x.y.z); PORT 0 for --listen picks a free port. --up-ms
// delays what the client sends, --down-ms what comes back (default 0, fractions allowed). Once
// it listens it prints "listening on ADDR:PORT". It ends on SIGTERM, when the process that
// started it ends, or after --max-seconds (default 900).

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "DelayProxy.h"

namespace tidewell::bench {
namespace {

using test::DelayProxy;
using test::DelayProxyOptions;
using test::IsIpv4Loopback;
using test::ParseDelayMs;

constexpr int kUsageError = 2;
constexpr long kMaxLifetimeSeconds = 24 * 3600;

bool SplitHostPort(std::string_view text, std::string& address, std::uint16_t& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  address = std::string(text.substr(0, colon));
  const std::string_view digits = text.substr(colon + 1);
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  return !digits.empty() && error == std::errc{} && end == digits.data() + digits.size() &&
         IsIpv4Loopback(address);
}

std::optional<DelayProxyOptions> ParseArguments(int argc, char** argv) {
  DelayProxyOptions options;
  bool listenGiven = false;
  bool upstreamGiven = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const std::string_view value = argv[i + 1];
    if (flag == "--listen") {
      listenGiven = SplitHostPort(value, options.listenAddress, options.listenPort);
      if (!listenGiven) return std::nullopt;
    } else if (flag == "--upstream") {
      upstreamGiven = SplitHostPort(value, options.upstreamAddress, options.upstreamPort);
      if (!upstreamGiven || options.upstreamPort == 0) return std::nullopt;
    } else if (flag == "--up-ms" || flag == "--down-ms") {
      const auto delay = ParseDelayMs(value);
      if (!delay) return std::nullopt;
      (flag == "--up-ms" ? options.upDelay : options.downDelay) = *delay;
    } else if (flag == "--max-seconds") {
      long seconds = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (error != std::errc{} || end != value.data() + value.size() || seconds < 1 ||
          seconds > kMaxLifetimeSeconds) {
        return std::nullopt;
      }
      options.lifetime = std::chrono::seconds(seconds);
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0 || !listenGiven || !upstreamGiven) return std::nullopt;
  return options;
}

}  // namespace
}  // namespace tidewell::bench

int main(int argc, char** argv) {
  using namespace tidewell::bench;
  const auto options = ParseArguments(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: tidewell_bench_delay_proxy --listen ADDR:PORT --upstream ADDR:PORT "
                 "[--up-ms MS] [--down-ms MS] [--max-seconds S]\n"
                 "(addresses 127.x.y.z only)\n");
    return kUsageError;
  }
  // A proxy left behind by a benchmark that died would hold its port; it goes with its starter.
  const pid_t starter = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != starter) return 1;
  signal(SIGPIPE, SIG_IGN);
  try {
    DelayProxy proxy(*options);
    std::printf("listening on %s:%u\n", options->listenAddress.c_str(),
                static_cast<unsigned>(proxy.Port()));
    std::fflush(stdout);
    proxy.Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tidewell_bench_delay_proxy: %s\n", error.what());
    return 1;
  }
  return 0;
}
