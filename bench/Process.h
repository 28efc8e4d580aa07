#pragma once

// Starting, watching and stopping the processes of the benchmark: the programs under test (always
// through the clock interposer's wrapper), the servers and the load tools.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ScratchDirectory.h"

namespace tidewell::bench {

using test::BackgroundProcess;
using test::ReadWholeFile;
using test::WriteWholeFile;

// Where the benchmark's own helpers and the programs under test live.
struct Tools {
  std::string wrapper;       // tests/interposer/with-clock-interposer
  std::string interposer;    // libclock_interposer.so
  std::string pretendRoot;   // libbench_pretend_root.so, for htpdate
  std::string measure;       // tidewell_bench_measure
  std::string timepage;      // tidewell-timepage
  std::string fenwhit;       // fenwhit_bench, time host 127.0.0.74:18038
  std::string hostileDir;    // fenwhit_bench_hostile_<i>, time host 127.0.0.<80+i>:18038
  std::string sourceDir;     // bench/, for the wrk script
  std::string delayProxy;    // tidewell_bench_delay_proxy
  std::string fenwhitFront;  // fenwhit built for https://127.0.0.74:18443 and the bench's CA
  std::string frontCaFile;   // where that build looks for its CA
};

// A private directory for logs and configurations. It stays readable to user 65534, which the
// wrapper switches to, and is removed at the end unless asked to keep it.
class Scratch : public test::ScratchDirectory {
 public:
  Scratch() : ScratchDirectory("tidewell-bench", 0755) {}
};

// What tidewell_bench_measure saw of one run of a program under test.
struct Measured {
  bool reported = false;  // false: the measurer itself was killed, or never ran
  int exitStatus = -1;    // -1 when the program did not exit normally
  int signal = 0;
  bool killed = false;  // the kill time-out ended it
  double wallSeconds = 0;
  long maxRssKb = 0;
};

// One run of a program under test: through the interposer's wrapper (so as user 65534 with
// every clock call captured into `clockLog`), timed and measured by tidewell_bench_measure, with
// its output in `outputFile`.
struct ProgramRun {
  std::vector<std::string> command;
  std::string clockLog;
  std::string outputFile;
  std::chrono::seconds killAfter{45};
  std::optional<std::string> preload;  // put in front of the program's LD_PRELOAD
};

Measured RunUnderInterposer(const Tools& tools, const ProgramRun& run);

// A command run to its end with its standard output and error captured together.
struct Captured {
  int exitStatus = -1;
  bool timedOut = false;
  std::string output;
};

Captured RunAndCapture(const std::vector<std::string>& command, std::chrono::milliseconds timeout,
                       const std::string& outputFile);

// Waits until a TCP connection to address:port succeeds; false after `timeout`.
bool WaitForListener(const std::string& address, int port, std::chrono::milliseconds timeout);

// Seconds since the epoch on this machine's clock.
double RealNow();

}  // namespace tidewell::bench
