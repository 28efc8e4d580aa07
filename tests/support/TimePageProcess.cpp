#include "TimePageProcess.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "ScratchDirectory.h"

namespace tidewell::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kListeningPrefix = "listening on 127.0.0.1:";

std::vector<std::string> ServerCommand(const std::string& program,
                                       const std::vector<std::string>& options) {
  std::vector<std::string> argv{program, "--bind", "127.0.0.1", "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

}  // namespace

TimePageProcess::TimePageProcess(const std::string& program,
                                 const std::vector<std::string>& options,
                                 const std::string& outputPath)
    : process_(ServerCommand(program, options), EnvironmentChanges{}, outputPath) {
  // The server says "listening on 127.0.0.1:PORT" once it listens; its line on an
  // unsynchronised clock may come first.
  for (int i = 0; i < 250 && port_ == 0 && process_.Running(); ++i) {
    const std::string output = ReadWholeFile(outputPath);
    const std::size_t at = output.find(kListeningPrefix);
    if (at != std::string::npos && output.find('\n', at) != std::string::npos) {
      port_ = static_cast<std::uint16_t>(std::stoi(output.substr(at + kListeningPrefix.size())));
    }
    std::this_thread::sleep_for(20ms);
  }
}

}  // namespace tidewell::test
