#pragma once

// tidewell-timepage under load from wrk on loopback, beside nginx serving a static page of the
// same size in the same run.

#include <string>
#include <vector>

#include "Process.h"

namespace tidewell::bench {

struct LoadOptions {
  std::vector<int> connections{1, 64, 512};
  int seconds = 3;  // per wrk run
  int alignedConnections = 512;
};

std::string RunLoad(const Tools& tools, const Scratch& scratch, const LoadOptions& options);

}  // namespace tidewell::bench
