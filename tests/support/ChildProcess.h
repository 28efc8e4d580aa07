#pragma once

// Running other programs from the tests and the benchmark: to their end with their output
// captured, or beside the caller until it stops them. Every child runs in a process group of
// its own, so that a time-out or a stop reaches whatever it started too, and every wait is
// bounded: a child that hangs makes a test fail, never hang.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace tidewell::test {

// Changes to the caller's environment for a child: "NAME=value" sets NAME, "NAME" alone
// removes it.
using EnvironmentChanges = std::vector<std::string>;

// Takes away what could lead a program under test onto a screen or through a proxy.
inline const EnvironmentChanges kNoDisplayNoProxy = {"DISPLAY",    "WAYLAND_DISPLAY", "http_proxy",
                                                     "HTTP_PROXY", "all_proxy",       "ALL_PROXY"};

// Where a child's descriptors come from. -1 gives /dev/null for the standard streams and
// nothing for descriptor 3.
struct ChildSetup {
  EnvironmentChanges environment;
  int input = -1;
  int output = -1;
  int error = -1;  // may be the same descriptor as output
  int descriptor3 = -1;
};

struct ChildResult {
  int exitStatus = -1;    // -1 when the child did not exit normally
  bool timedOut = false;  // it was killed when its time ran out
  std::string standardOutput;
  std::string standardError;  // empty when merged into standardOutput
};

// Starts argv (argv[0] a path, or a name looked up on PATH). Everything the child needs is
// prepared before the fork, so this is safe in a program with threads.
pid_t SpawnChild(const std::vector<std::string>& argv, const ChildSetup& setup);

// Waits for the child `pid` to end, at most `timeout`, then kills its group. Gives its exit
// status (-1 when it did not exit normally) and whether time ran out.
ChildResult WaitForChild(pid_t pid, std::chrono::milliseconds timeout);

// Runs argv to its end with `input` on its standard input, and collects its output (both
// streams in standardOutput when `mergeError`), killing it after `timeout`.
ChildResult RunChild(const std::vector<std::string>& argv,
                     const EnvironmentChanges& environment = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60),
                     const std::string& input = "", bool mergeError = false);

// A program running beside the caller (a server, a bus, a mock), stopped when the object goes.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const ChildSetup& setup);
  // Standard output and error both appended to the file at `outputPath`.
  BackgroundProcess(const std::vector<std::string>& argv, const EnvironmentChanges& environment,
                    const std::string& outputPath);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  // Waits until `text` shows in the output file, or until the process ends or time runs out.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
  // Sends `signal` to the process's group and waits up to `grace` for it to end, then kills
  // the group. timedOut tells that it had to be killed. Once it has ended, gives how it did.
  ChildResult Stop(int signal = SIGTERM, std::chrono::milliseconds grace = std::chrono::seconds(3));

 private:
  pid_t pid_ = -1;
  std::string outputPath_;
  bool ended_ = false;
  ChildResult end_;
};

// Opens `path` for a child's output, appending; throws std::runtime_error when it cannot.
int OpenOutputFile(const std::string& path);

}  // namespace tidewell::test
