#pragma once

// tidewell-timepage as a process of the test's own, on a free loopback port, stopped with the
// object.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace tidewell::test {

class TimePageProcess {
 public:
  // Starts `program` on 127.0.0.1 with `options` added; what it writes (with --log, a line per
  // reply) goes to the file at `outputPath`.
  TimePageProcess(const std::string& program, const std::vector<std::string>& options,
                  const std::string& outputPath);

  // 0 when the server did not say within five seconds where it listens.
  std::uint16_t Port() const { return port_; }

 private:
  BackgroundProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace tidewell::test
