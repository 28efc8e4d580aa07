// tidewell-timepage: serves this machine's clock as the time page that larkspan and fenwhit
// read. Run it on a host whose clock is kept right, and point TIDEWELL_TIME_HOST at it.

#include <cstdio>
#include <string_view>
#include <vector>

#include "Options.h"
#include "Server.h"

namespace {

constexpr std::string_view kProgram = "tidewell-timepage";
constexpr int kExitBadOptions = 2;
constexpr int kExitCannotListen = 1;

}  // namespace

int main(int argc, char** argv) {
  using namespace tidewell::timepage;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParsedOptions parsed = ParseOptions(args);
  if (!parsed.options) {
    std::fprintf(stderr, "%s: %s\n%s", kProgram.data(), parsed.error.c_str(),
                 UsageText(kProgram).c_str());
    return kExitBadOptions;
  }
  if (parsed.options->help) {
    std::fputs(UsageText(kProgram).c_str(), stdout);
    return 0;
  }

  RaiseOpenFileLimit();
  try {
    Server server(*parsed.options);
    // Tests and scripts that ask for port 0 learn the real port from this line.
    std::printf("listening on %s\n", server.ListeningOn().c_str());
    std::fflush(stdout);
    server.Run();
  } catch (const ListenError& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram.data(), error.what());
    return kExitCannotListen;
  }
  return 0;
}
