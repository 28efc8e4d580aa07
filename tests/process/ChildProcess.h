#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tidewell::testing {

struct ChildResult {
  int exitStatus = -1;  // -1 when the child did not exit normally
  bool timedOut = false;
  std::string standardOutput;
  std::string standardError;
};

// Runs a program to its end (killing it after `timeout`), with `environment` changes applied on
// top of the test's own: "NAME=value" sets, "NAME" alone removes. Output is captured whole.
ChildResult RunChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// In a forked child: applies the `environment` changes as RunChild does, points the standard
// streams at /dev/null (input) and the given descriptors, and runs argv[0]. Never returns.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment, int outFd, int errFd);

// A page in the time service's style whose Universal entry is `aheadSeconds` ahead of the
// system clock, in whole seconds.
std::string TimePageAhead(double aheadSeconds);

// A private directory that the unprivileged user the interposer wrapper switches to can reach.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace tidewell::testing
