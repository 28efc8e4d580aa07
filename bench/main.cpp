// tidewell_bench: fenwhit against htpdate, and tidewell-timepage against hostile clients and
// against nginx, on this machine.
//
//   tidewell_bench [--runs N] [--kill-after SECONDS] [--sections accuracy,hostile,load,paths]
//                  [--seed N] [--output FILE] [--plot FILE.png] [--keep-scratch]
//
// bench/run builds it and starts it; see there. Every run of fenwhit and of htpdate goes
// through the clock interposer's wrapper as user 65534, so this machine's clock is never
// changed, and every server listens on a 127.x.y.z address only. The report goes to --output
// and the main tables to standard output; --plot draws the errors over the delayed paths.

#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "Accuracy.h"
#include "Hostile.h"
#include "Load.h"
#include "Paths.h"
#include "Process.h"
#include "Report.h"
#include "Servers.h"

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kUsageError = 2;

struct Options {
  // With the peer's 2-4 s a run this keeps the whole benchmark within about seven minutes.
  int runs = 8;
  // One and a half times fenwhit's 30 s overall deadline: a run still going then will not end.
  std::chrono::seconds killAfter{45};
  std::set<std::string> sections{"accuracy", "hostile", "load", "paths"};
  std::optional<std::uint32_t> seed;  // for the offsets of the paths; drawn when not given
  std::string output;
  std::string plot;  // the picture of the delayed paths, when given
  bool keepScratch = false;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--keep-scratch") {
      options.keepScratch = true;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (flag == "--runs") {
      options.runs = std::atoi(value.c_str());
      if (options.runs < 1) return std::nullopt;
    } else if (flag == "--kill-after") {
      options.killAfter = std::chrono::seconds(std::atoi(value.c_str()));
      if (options.killAfter.count() < 1) return std::nullopt;
    } else if (flag == "--sections") {
      options.sections.clear();
      std::istringstream names(value);
      for (std::string name; std::getline(names, name, ',');) {
        if (name != "accuracy" && name != "hostile" && name != "load" && name != "paths") {
          return std::nullopt;
        }
        options.sections.insert(name);
      }
    } else if (flag == "--seed") {
      char* end = nullptr;
      const unsigned long seed = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' || seed > UINT32_MAX) {
        return std::nullopt;
      }
      options.seed = static_cast<std::uint32_t>(seed);
    } else if (flag == "--output") {
      options.output = value;
    } else if (flag == "--plot") {
      options.plot = value;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

Tools BuiltTools() {
  return {TIDEWELL_BENCH_INTERPOSER_WRAPPER,
          TIDEWELL_BENCH_INTERPOSER_LIBRARY,
          TIDEWELL_BENCH_PRETEND_ROOT_LIBRARY,
          TIDEWELL_BENCH_MEASURE,
          TIDEWELL_BENCH_TIMEPAGE,
          TIDEWELL_BENCH_FENWHIT,
          TIDEWELL_BENCH_HOSTILE_DIR,
          TIDEWELL_BENCH_SOURCE_DIR,
          TIDEWELL_BENCH_DELAY_PROXY,
          TIDEWELL_BENCH_FRONT_FENWHIT,
          TIDEWELL_BENCH_FRONT_CA_FILE};
}

// The programs must see the same world: no proxy (fenwhit's libcurl and htpdate both honour
// one, and would send the loopback requests elsewhere), UTC as the zone, the C locale.
void SetEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY", "DISPLAY", "WAYLAND_DISPLAY"}) {
    unsetenv(name);
  }
  setenv("TZ", "UTC", 1);
  setenv("LC_ALL", "C", 1);
  tzset();
}

// Refuses to go on unless the chain that runs htpdate really ends as user 65534 with no
// capabilities: the pretend-root preload must fool htpdate only, never the kernel.
void CheckUnprivileged(const Tools& tools, const Scratch& scratch) {
  ProgramRun run;
  run.command = {"cat", "/proc/self/status"};
  run.clockLog = scratch.Path("identity.clock.log");
  run.outputFile = scratch.Path("identity.out");
  run.killAfter = 10s;
  run.preload = tools.pretendRoot;
  RunUnderInterposer(tools, run);
  const std::string status = ReadWholeFile(run.outputFile);
  if (status.find("Uid:\t65534\t65534\t65534\t65534") == std::string::npos ||
      status.find("CapEff:\t0000000000000000") == std::string::npos) {
    throw std::runtime_error("the programs would not run as an unprivileged user:\n" + status);
  }
}

// The real clock against the monotonic one: a step of this machine's clock during the run
// would show here (a slew by NTP moves it by milliseconds at most).
double RealMinusMonotonic() {
  timespec real{}, mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  return static_cast<double>(real.tv_sec - mono.tv_sec) +
         static_cast<double>(real.tv_nsec - mono.tv_nsec) / 1e9;
}

// The one-minute load average, as /proc/loadavg gives it.
std::string LoadAverage() {
  const std::string text = ReadWholeFile("/proc/loadavg");
  return text.substr(0, text.find(' '));
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string Versions(const Scratch& scratch) {
  const std::string htpdate =
      FirstLine(RunAndCapture({"htpdate", "-v"}, 5s, scratch.Path("htpdate-version.out")).output);
  const std::string wrk =
      FirstLine(RunAndCapture({"wrk", "-v"}, 5s, scratch.Path("wrk-version.out")).output);
  const std::string curl =
      FirstLine(RunAndCapture({"curl", "--version"}, 5s, scratch.Path("curl-version.out")).output);
  std::ostringstream out;
  out << htpdate << "; nginx " << NginxVersion(scratch) << " (nginx-light); "
      << wrk.substr(0, wrk.find(" Copyright")) << "; " << curl.substr(0, curl.find(" (")) << ".";
  return out.str();
}

int Run(const Options& options) {
  SetEnvironment();
  const Tools tools = BuiltTools();
  Scratch scratch;
  if (options.keepScratch) {
    scratch.Keep();
    std::cerr << "scratch directory: " << scratch.Path("") << std::endl;
  }
  CheckUnprivileged(tools, scratch);

  const Machine machine = DescribeMachine();
  const double clockBefore = RealMinusMonotonic();
  const auto started = std::chrono::steady_clock::now();

  std::ostringstream report;
  report << "# Tidewell benchmark, " << machine.date << ", " << machine.hostname << "\n\n"
         << "Machine: " << machine.cores << " cores (nproc), " << machine.cpuModel << ", "
         << machine.kernel << ", load average at the start " << LoadAverage()
         << " (other work on the machine shows in the timings, most in the load table). "
         << "Build: Release, no sanitizers. Peers: " << Versions(scratch) << "\n\n";

  std::ostringstream timings;
  auto lap = [&, last = std::chrono::steady_clock::now()](const std::string& section) mutable {
    const auto now = std::chrono::steady_clock::now();
    timings << (timings.str().empty() ? "" : ", ") << section << " "
            << FormatSeconds(std::chrono::duration<double>(now - last).count());
    last = now;
  };

  AccuracyResult accuracy;
  if (options.sections.count("accuracy") != 0) {
    AccuracyOptions accuracyOptions;
    accuracyOptions.runs = options.runs;
    accuracyOptions.killAfter = options.killAfter;
    accuracy = RunAccuracy(tools, scratch, accuracyOptions);
    report << accuracy.section;
    lap("accuracy");
    std::cout << "\nAccuracy, time and memory (" << options.runs << " runs per row):\n\n"
              << accuracy.headline << std::flush;
  }
  if (options.sections.count("paths") != 0) {
    PathsOptions pathsOptions;
    pathsOptions.runs = options.runs;
    pathsOptions.killAfter = options.killAfter;
    pathsOptions.seed = options.seed ? *options.seed : std::random_device{}();
    const std::string loadBefore = LoadAverage();
    const PathsResult paths = RunPaths(tools, scratch, pathsOptions);
    const std::string loadAfter = LoadAverage();
    report << paths.section << "Load average (one minute) " << loadBefore << " as the paths began, "
           << loadAfter << " as they ended.\n\n";
    lap("paths");
    if (!options.plot.empty()) {
      DrawPathsPlot(paths.errors,
                    "Clock error over delayed paths, fenwhit against htpdate: " +
                        std::to_string(options.runs) + " runs per box (lower is better), " +
                        machine.date + ", load average " + loadBefore + " to " + loadAfter,
                    options.plot, scratch);
      report << "The errors of these runs, drawn: `"
             << std::filesystem::path(options.plot).filename().string()
             << "` (its gnuplot script, data included, beside it).\n\n";
      std::cout << "Plot written to " << options.plot << "\n";
    }
    std::cout << "\nOver delayed paths (" << options.runs << " runs per row, seed "
              << pathsOptions.seed << "):\n\n"
              << paths.headline << std::flush;
  }
  if (options.sections.count("hostile") != 0) {
    std::cerr << "[hostile] running the cases (the slow ones side by side)" << std::endl;
    HostileOptions hostileOptions;
    hostileOptions.killAfter = options.killAfter;
    hostileOptions.normalRssKb = accuracy.fenwhitNormalRssKb;
    const std::string section = RunHostile(tools, scratch, hostileOptions);
    report << section;
    std::cout << "\n" << section << std::flush;
    const std::string clients = RunHostileClients(tools, scratch, HostileClientOptions{});
    report << clients;
    lap("hostile");
    std::cout << "\n" << clients << std::flush;
  }
  if (options.sections.count("load") != 0) {
    const std::string section = RunLoad(tools, scratch, LoadOptions{});
    report << section;
    lap("load");
    std::cout << "\n" << section << std::flush;
  }

  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double clockMoved = RealMinusMonotonic() - clockBefore;
  std::ostringstream closing;
  closing << "This machine's clock against its monotonic clock moved by " << FormatMs(clockMoved)
          << " over the whole benchmark (" << FormatSeconds(elapsed) << ": " << timings.str()
          << "): " << (std::fabs(clockMoved) < 0.5 ? "not stepped" : "**stepped**") << ".\n";
  report << "## Safety check\n\n" << closing.str();
  std::cout << "\n" << closing.str();

  if (!options.output.empty()) {
    WriteWholeFile(options.output, report.str());
    std::cout << "Report written to " << options.output << "\n";
  }
  return 0;
}

}  // namespace
}  // namespace tidewell::bench

int main(int argc, char** argv) {
  const auto options = tidewell::bench::ParseOptions(argc, argv);
  if (!options) {
    std::cerr << "usage: tidewell_bench [--runs N] [--kill-after SECONDS] "
                 "[--sections accuracy,hostile,load,paths] [--seed N] [--output FILE] "
                 "[--plot FILE.png] [--keep-scratch]\n";
    return tidewell::bench::kUsageError;
  }
  // A program killed mid-write must not take the benchmark down with it.
  signal(SIGPIPE, SIG_IGN);
  try {
    return tidewell::bench::Run(*options);
  } catch (const std::exception& error) {
    std::cerr << "tidewell_bench: " << error.what() << "\n";
    return 1;
  }
}
