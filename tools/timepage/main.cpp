// tidewell-timepage: serves this machine's clock as the time page that larkspan and fenwhit
// read. Run it on a host whose clock is kept right, and point TIDEWELL_TIME_HOST at it.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "OpenFileLimit.h"
#include "Options.h"
#include "Server.h"
#include "ToolCommandLine.h"

namespace {

using tidewell::tools::UniqueFd;

constexpr std::string_view kProgram = "tidewell-timepage";
constexpr int kExitCannotServe = 1;
constexpr int kExitLoopFailed = 3;  // not to be mistaken for an address that cannot be used

// SIGINT and SIGTERM stop the server through its loop, never mid-reply.
UniqueFd StopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  return UniqueFd{::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC)};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tidewell::timepage;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParsedOptions parsed = ParseOptions(args);
  if (!parsed.options) return tidewell::tools::UsageError(kProgram, parsed.error);
  if (parsed.options->help) {
    std::fputs(UsageText(kProgram).c_str(), stdout);
    return 0;
  }
  if (parsed.options->version) return tidewell::tools::PrintVersion(kProgram);

  tidewell::tools::RaiseOpenFileLimit();  // every parked client holds a socket
  UniqueFd stop = StopSignals();
  if (!stop.valid()) {
    std::fprintf(stderr, "%s: cannot watch for stop signals: %s\n", kProgram.data(),
                 std::strerror(errno));
    return kExitCannotServe;
  }
  // A client that goes away while its reply is written must not end the server.
  ::signal(SIGPIPE, SIG_IGN);
  // The boundary timer should fire on the boundary, not up to 50 us after it.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::optional<Server> server;
  try {
    server.emplace(*parsed.options, std::move(stop));
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram.data(), error.what());
    return kExitCannotServe;
  }
  std::printf("listening on %s\n", server->ListeningOn().c_str());
  std::fflush(stdout);
  return server->Run() ? 0 : kExitLoopFailed;
}
