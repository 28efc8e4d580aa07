#include "Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kReportFd = 3;  // where tidewell_bench_measure writes its line
// The measurer kills the program itself; this only catches a wrapper or measurer that hangs.
constexpr auto kBackstopGrace = 15s;

Measured ParseReport(const std::string& line) {
  Measured measured;
  long long wallNs = 0;
  int killed = 0;
  if (std::sscanf(line.c_str(), "exit=%d signal=%d killed=%d wall_ns=%lld maxrss_kb=%ld",
                  &measured.exitStatus, &measured.signal, &killed, &wallNs,
                  &measured.maxRssKb) == 5) {
    measured.reported = true;
    measured.killed = killed != 0;
    measured.wallSeconds = static_cast<double>(wallNs) / 1e9;
  }
  return measured;
}

}  // namespace

Measured RunUnderInterposer(const Tools& tools, const ProgramRun& run) {
  std::vector<std::string> words = {tools.wrapper,
                                    "--lib",
                                    tools.interposer,
                                    "--log",
                                    run.clockLog,
                                    "--",
                                    tools.measure,
                                    "--report-fd",
                                    std::to_string(kReportFd),
                                    "--kill-after",
                                    std::to_string(run.killAfter.count())};
  if (run.preload) {
    words.push_back("--preload");
    words.push_back(*run.preload);
  }
  words.push_back("--");
  words.insert(words.end(), run.command.begin(), run.command.end());

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  const int output = test::OpenOutputFile(run.outputFile);
  const pid_t pid = test::SpawnChild(words, {{}, -1, output, output, report[1]});
  close(output);
  close(report[1]);

  test::WaitForChild(
      pid, std::chrono::duration_cast<std::chrono::milliseconds>(run.killAfter + kBackstopGrace));
  // The measurer wrote its one line before it exited; the pipe holds it.
  std::string line;
  char buffer[256];
  ssize_t got = 0;
  while ((got = read(report[0], buffer, sizeof buffer)) > 0) line.append(buffer, got);
  close(report[0]);
  return ParseReport(line);
}

Captured RunAndCapture(const std::vector<std::string>& command, std::chrono::milliseconds timeout,
                       const std::string& outputFile) {
  const test::ChildResult run = test::RunChild(command, {}, timeout, "", /*mergeError=*/true);
  WriteWholeFile(outputFile, run.standardOutput);  // kept with the other logs for a look later
  return {run.exitStatus, run.timedOut, run.standardOutput};
}

bool WaitForListener(const std::string& address, int port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

double RealNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace tidewell::bench
