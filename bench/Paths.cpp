#include "Paths.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Report.h"
#include "RunSummary.h"
#include "Servers.h"
#include "TlsFront.h"

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

// fenwhit_bench asks this port, so the proxy holds it; the server sits behind the proxy.
constexpr int kProxyPort = TIDEWELL_BENCH_PORT;
constexpr int kServerPort = TIDEWELL_BENCH_PORT + 5;
// fenwhit_bench_front asks the TLS front here, which passes on to the server at kServerPort.
constexpr int kFrontPort = TIDEWELL_BENCH_FRONT_PORT;
// The proxy also ends with the benchmark; this bounds it should that ever fail.
constexpr int kProxyLifetimeSeconds = 1800;
constexpr int kMicrosPerSecond = 1'000'000;

struct NetworkPath {
  std::string name;  // as in the table: up/down
  double upMs;
  double downMs;
};

// Symmetric paths of growing length, and one where the reply takes four times the request's
// way: its half-difference (7.5 ms) is what no single exchange can see.
const std::vector<NetworkPath> kPaths = {
    {"0/0 ms", 0, 0}, {"10/10 ms", 10, 10}, {"25/25 ms", 25, 25}, {"5/20 ms", 5, 20}};
// The shipped nginx TLS front on loopback in place of the delaying proxy.
const NetworkPath kFrontPath{"0/0 ms, TLS front", 0, 0};

// How the time-page server of a run answers. kDefault: held to the second, except for a client
// that sends "Prefer: no-hold" (ours do), answered at once; the figures in Server-Timing on every
// reply. kNoTiming: as a server from before the figures, held to the second with no figures.
// kImmediate: at once, with the figures. kImmediateNoTiming: at once, no figures: the page's whole
// second is all a client has.
enum class ServerMode { kDefault, kNoTiming, kImmediate, kImmediateNoTiming };
constexpr ServerMode kServerModes[] = {ServerMode::kDefault, ServerMode::kNoTiming,
                                       ServerMode::kImmediate, ServerMode::kImmediateNoTiming};

std::vector<std::string> ServerModeArguments(ServerMode mode) {
  switch (mode) {
    case ServerMode::kDefault:
      return {};
    case ServerMode::kNoTiming:
      return {"--no-timing"};
    case ServerMode::kImmediate:
      return {"--immediate"};
    case ServerMode::kImmediateNoTiming:
      return {"--immediate", "--no-timing"};
  }
  return {};
}

struct Contender {
  std::string program;  // as in the table
  std::string replies;  // as in the table
  ServerMode server;
  int htpdatePrecision = 0;  // htpdate's -p; 0 for fenwhit

  bool IsPeer() const { return htpdatePrecision != 0; }
};

// htpdate gets the replies of an ordinary web server, which it is made for: against held
// replies every Date it reads is the next second, and its search for the boundary lands up to a
// second off. -p 4 is its default, the peer of the ratios; -p 7 is its finest useful setting.
const std::vector<Contender> kContenders = {
    // fenwhit asks for the page at once and takes the delay out with the reply's figures.
    {"fenwhit", "at once + figures", ServerMode::kDefault},
    // A server from before the figures: held to the second, so only the one-way delay is left.
    {"fenwhit", "aligned, no figures", ServerMode::kNoTiming},
    // No figures and no holding: the page's whole second, up to a second old.
    {"fenwhit", "immediate, no figures", ServerMode::kImmediateNoTiming},
    {"htpdate -p 4", "immediate", ServerMode::kImmediate, 4},
    {"htpdate -p 7", "immediate", ServerMode::kImmediate, 7},
};
constexpr std::size_t kPeer = 3;  // htpdate -p 4

std::string HostPort(int port) { return std::string(kAddress) + ":" + std::to_string(port); }

std::string MsArgument(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

// The served offset of one run: whole seconds and a uniformly drawn fraction, to the
// microsecond, so that no rounding of the peer's happens to meet it.
struct DrawnOffset {
  std::string text;  // as given to --offset
  double seconds;
};

DrawnOffset DrawOffset(std::mt19937& generator, int wholeSeconds) {
  std::uniform_int_distribution<int> micros(0, kMicrosPerSecond - 1);
  const int fraction = micros(generator);
  char text[32];
  std::snprintf(text, sizeof text, "%d.%06d", wholeSeconds, fraction);
  return {text, wholeSeconds + static_cast<double>(fraction) / kMicrosPerSecond};
}

std::unique_ptr<BackgroundProcess> StartProxy(const Tools& tools, const Scratch& scratch,
                                              const NetworkPath& path, const std::string& name) {
  // As user 65534, like nginx: the proxy needs no right of any kind.
  const std::vector<std::string> command = {"setpriv",
                                            "--reuid=65534",
                                            "--regid=65534",
                                            "--clear-groups",
                                            tools.delayProxy,
                                            "--listen",
                                            HostPort(kProxyPort),
                                            "--upstream",
                                            HostPort(kServerPort),
                                            "--up-ms",
                                            MsArgument(path.upMs),
                                            "--down-ms",
                                            MsArgument(path.downMs),
                                            "--max-seconds",
                                            std::to_string(kProxyLifetimeSeconds)};
  const std::string output = scratch.Path(name + ".out");
  auto proxy = std::make_unique<BackgroundProcess>(command, test::EnvironmentChanges{}, output);
  if (!proxy->WaitForOutput("listening on", 5s)) {
    throw std::runtime_error("the delaying proxy did not start: " + ReadWholeFile(output));
  }
  return proxy;
}

// Request sent to first byte back, as curl sees it through the path: up + down + the server.
std::optional<double> MeasureTurnaround(const Scratch& scratch) {
  const Captured timing =
      RunAndCapture({"curl", "-s", "-o", "/dev/null", "--max-time", "5", "-w",
                     "%{time_pretransfer} %{time_starttransfer}", PageUrl(kProxyPort)},
                    10s, scratch.Path("paths-turnaround.out"));
  double pretransfer = 0, starttransfer = 0;
  if (timing.exitStatus != 0 ||
      std::sscanf(timing.output.c_str(), "%lf %lf", &pretransfer, &starttransfer) != 2) {
    return std::nullopt;
  }
  return starttransfer - pretransfer;
}

// htpdate says "Setting 37.250 seconds" before it sets the clock: the offset it estimated.
std::optional<double> PrintedOffset(const std::string& output) {
  const std::size_t at = output.find("Setting ");
  double seconds = 0;
  if (at == std::string::npos || std::sscanf(output.c_str() + at, "Setting %lf", &seconds) != 1) {
    return std::nullopt;
  }
  return seconds;
}

// One run of one program, and for htpdate also how far the offset it printed was from the
// served one: htpdate -s asks for a whole second, its estimate's fraction dropped (seen in the
// interposer's log), so its step and its estimate are two different results.
struct PathRun {
  RunRecord record;
  std::optional<double> estimateError;
};

class PathRunner {
 public:
  PathRunner(const Tools& tools, const Scratch& scratch, const PathsOptions& options)
      : tools_(tools), scratch_(scratch), options_(options) {}

  // `fenwhit` in place of the benchmark's own build, for a build with another time host.
  PathRun Run(const Contender& contender, const DrawnOffset& offset,
              const std::string& fenwhit = "") {
    const bool htpdate = contender.IsPeer();
    const std::string tag =
        "paths-" + std::to_string(++counter_) + (htpdate ? "-htpdate" : "-fenwhit");
    ProgramRun run;
    run.clockLog = scratch_.Path(tag + ".clock.log");
    run.outputFile = scratch_.Path(tag + ".out");
    run.killAfter = options_.killAfter;
    if (htpdate) {
      run.command = {"htpdate", "-s", "-p", std::to_string(contender.htpdatePrecision),
                     PageUrl(kProxyPort)};
      run.preload = tools_.pretendRoot;
    } else {
      run.command = {fenwhit.empty() ? tools_.fenwhit : fenwhit};
    }
    PathRun result{RunAndRecord(tools_, run, offset.seconds), std::nullopt};
    if (htpdate && result.record.error) {
      const auto printed = PrintedOffset(ReadWholeFile(run.outputFile));
      if (printed) result.estimateError = *printed - offset.seconds;
    }
    return result;
  }

 private:
  const Tools& tools_;
  const Scratch& scratch_;
  const PathsOptions& options_;
  int counter_ = 0;
};

const std::vector<std::string> kColumns = {"Path",         "Replies",          "Program",
                                           "Clock set",    "abs error median", "abs error p95",
                                           "error median", "wall median",      "peak RSS median"};

void AddRow(Table& table, const NetworkPath& path, const std::string& replies,
            const std::string& program, const RunsSummary& s) {
  table.AddRow({path.name, replies, program, std::to_string(s.set) + "/" + std::to_string(s.runs),
                Ms(Median(s.absError)), Ms(P95(s.absError)), Ms(Median(s.error)),
                Secs(Median(s.wall)), Kb(Median(s.rss))});
}

void AddRatioRow(Table& table, const NetworkPath& path, const Contender& contender,
                 const RunsSummary& ours, const RunsSummary& peer) {
  table.AddRow({path.name, contender.replies,
                "**" + contender.program + " / " + kContenders[kPeer].program + " est.**", "",
                FormatRatio(Median(ours.absError), Median(peer.absError)),
                FormatRatio(P95(ours.absError), P95(peer.absError)), "",
                FormatRatio(Median(ours.wall), Median(peer.wall)),
                FormatRatio(Median(ours.rss), Median(peer.rss))});
}

void Progress(const std::string& text) { std::cerr << "[paths] " << text << std::endl; }

// Everything one path gave: each contender's runs, the offsets drawn and the turnaround.
struct PathResults {
  std::vector<std::vector<PathRun>> runs{kContenders.size()};
  std::vector<std::string> offsets;
  std::optional<double> turnaround;
};

PathResults RunPath(const Tools& tools, const Scratch& scratch, const PathsOptions& options,
                    const NetworkPath& path, std::mt19937& generator, PathRunner& runner) {
  Progress(path.name + " (up/down), " + std::to_string(options.runs) + " runs");
  const auto proxy =
      StartProxy(tools, scratch, path, "proxy-" + std::to_string(&path - &kPaths[0]));
  PathResults results;
  for (int run = 0; run < options.runs; ++run) {
    const DrawnOffset offset = DrawOffset(generator, options.wholeOffsetSeconds);
    results.offsets.push_back(offset.text);
    // Taking turns at going first, so that no kind of reply always follows another.
    for (std::size_t step = 0; step < std::size(kServerModes); ++step) {
      const ServerMode mode =
          kServerModes[(step + static_cast<std::size_t>(run)) % std::size(kServerModes)];
      std::vector<std::string> arguments = {"--offset", offset.text};
      for (std::string& argument : ServerModeArguments(mode)) arguments.push_back(argument);
      const auto server =
          StartTimepage(tools, scratch, "paths-timepage", kAddress, kServerPort, arguments);
      if (mode == ServerMode::kImmediate && !results.turnaround) {
        results.turnaround = MeasureTurnaround(scratch);
      }
      for (std::size_t i = 0; i < kContenders.size(); ++i) {
        if (kContenders[i].server == mode) {
          results.runs[i].push_back(runner.Run(kContenders[i], offset));
        }
      }
    }
  }
  return results;
}

std::string FrontUrl() {
  return std::string("https://") + kAddress + ":" + std::to_string(kFrontPort) + kPagePath;
}

void WarmFront(const Scratch& scratch, const std::string& caFile) {
  RunAndCapture({"curl", "-s", "-o", "/dev/null", "--max-time", "5", "--cacert", caFile, "-H",
                 "Prefer: no-hold", FrontUrl()},
                10s, scratch.Path("paths-front-warm.out"));
}

// fenwhit with the figures through the shipped TLS front, certificates made for it here: the
// other contenders have no https build or no figures to take through it.
std::vector<PathRun> RunFrontPath(const Tools& tools, const Scratch& scratch,
                                  const PathsOptions& options, std::mt19937& generator,
                                  PathRunner& runner, std::vector<std::string>& offsets) {
  Progress(kFrontPath.name + ", " + std::to_string(options.runs) + " runs");
  const std::string certificates = scratch.Path("front-certificates");
  std::filesystem::create_directories(certificates);
  test::MakeFrontCertificates(certificates, kAddress);
  std::filesystem::create_directories(std::filesystem::path(tools.frontCaFile).parent_path());
  std::filesystem::copy_file(certificates + "/ca.pem", tools.frontCaFile,
                             std::filesystem::copy_options::overwrite_existing);
  const test::TlsFront front(scratch.Path("front"), kAddress, kFrontPort, {HostPort(kServerPort)},
                             certificates + "/server.pem", certificates + "/server.key");
  std::vector<PathRun> runs;
  for (int run = 0; run < options.runs; ++run) {
    const DrawnOffset offset = DrawOffset(generator, options.wholeOffsetSeconds);
    offsets.push_back(offset.text);
    const auto server = StartTimepage(tools, scratch, "paths-front-timepage", kAddress, kServerPort,
                                      {"--offset", offset.text});
    // As in steady operation the front holds a kept-alive connection to its back end: the
    // server is new in every run, so one request opens it before fenwhit's.
    WarmFront(scratch, certificates + "/ca.pem");
    runs.push_back(runner.Run(kContenders[0], offset, tools.fenwhitFront));
  }
  return runs;
}

// The summary of a contender's runs, by its step or, for htpdate, by the offset it printed.
RunsSummary SummariseSteps(const std::vector<PathRun>& runs) {
  std::vector<RunRecord> records;
  for (const PathRun& run : runs) records.push_back(run.record);
  return SummariseRuns(records);
}

RunsSummary SummariseEstimates(const std::vector<PathRun>& runs) {
  std::vector<RunRecord> records;
  for (const PathRun& run : runs) {
    records.push_back(run.record);
    records.back().error = run.estimateError;
  }
  return SummariseRuns(records);
}

// What the picture shows of a contender on one path: fenwhit's steps, htpdate's estimates (the
// kinder of its two results, as in the ratio rows).
ErrorSeries PlottedErrors(const Contender& contender, const std::vector<PathRun>& runs) {
  ErrorSeries series;
  series.ours = !contender.IsPeer();
  // Under its box, on lines short enough to leave the neighbours' labels alone.
  std::string replies = contender.IsPeer() ? "estimate" : contender.replies;
  for (const std::string gap : {", ", " + "}) {
    for (std::size_t at = 0; (at = replies.find(gap, at)) != std::string::npos;) {
      replies.replace(at, gap.size(), gap == ", " ? "\n" : "\n+ ");
    }
  }
  series.label = contender.program + "\n" + replies;
  for (const PathRun& run : runs) {
    const auto& error = contender.IsPeer() ? run.estimateError : run.record.error;
    if (error) series.errors.push_back(*error);
  }
  return series;
}

PathErrors PlottedPath(const NetworkPath& path, const PathResults& results) {
  PathErrors plotted{path.name, {}};
  for (std::size_t i = 0; i < kContenders.size(); ++i) {
    plotted.series.push_back(PlottedErrors(kContenders[i], results.runs[i]));
  }
  return plotted;
}

// Why a contender's run left the clock alone, from the first such run.
void NoteUnsetRuns(std::ostream& notes, const NetworkPath& path, const Contender& contender,
                   const std::vector<PathRun>& runs, const RunsSummary& summary) {
  for (const PathRun& run : runs) {
    if (run.record.error) continue;
    notes << "- " << path.name << ", " << contender.program << " (" << contender.replies
          << "): " << summary.runs - summary.set << " of " << summary.runs
          << " runs did not set the clock; the first ended with exit "
          << run.record.measured.exitStatus << ", saying `" << run.record.lastOutput << "`.\n";
    return;
  }
}

void AddPathRows(Table& table, std::ostream& notes, const NetworkPath& path,
                 const PathResults& results) {
  std::vector<RunsSummary> steps;
  for (const auto& runs : results.runs) steps.push_back(SummariseSteps(runs));
  const RunsSummary peer = SummariseEstimates(results.runs[kPeer]);
  for (std::size_t i = 0; i < kContenders.size(); ++i) {
    const Contender& contender = kContenders[i];
    if (!contender.IsPeer()) {
      AddRow(table, path, contender.replies, contender.program, steps[i]);
    } else {
      AddRow(table, path, contender.replies, contender.program + ", step", steps[i]);
      AddRow(table, path, contender.replies, contender.program + ", est.",
             SummariseEstimates(results.runs[i]));
    }
    NoteUnsetRuns(notes, path, contender, results.runs[i], steps[i]);
  }
  for (std::size_t i = 0; i < kContenders.size(); ++i) {
    if (!kContenders[i].IsPeer()) AddRatioRow(table, path, kContenders[i], steps[i], peer);
  }
}

}  // namespace

PathsResult RunPaths(const Tools& tools, const Scratch& scratch, const PathsOptions& options) {
  std::mt19937 generator(options.seed);
  PathRunner runner(tools, scratch, options);
  Table table(kColumns);
  std::ostringstream offsets, turnarounds, notes;
  PathsResult result;
  for (const NetworkPath& path : kPaths) {
    const PathResults results = RunPath(tools, scratch, options, path, generator, runner);
    AddPathRows(table, notes, path, results);
    result.errors.push_back(PlottedPath(path, results));
    offsets << "- " << path.name << ":";
    for (const std::string& text : results.offsets) offsets << " " << text;
    offsets << "\n";
    turnarounds << (turnarounds.str().empty() ? "" : ", ") << path.name << " "
                << (results.turnaround ? FormatMs(*results.turnaround) : std::string("failed"));
  }

  std::vector<std::string> frontOffsets;
  const std::vector<PathRun> frontRuns =
      RunFrontPath(tools, scratch, options, generator, runner, frontOffsets);
  AddRow(table, kFrontPath, kContenders[0].replies, kContenders[0].program,
         SummariseSteps(frontRuns));
  NoteUnsetRuns(notes, kFrontPath, kContenders[0], frontRuns, SummariseSteps(frontRuns));
  offsets << "- " << kFrontPath.name << ":";
  for (const std::string& text : frontOffsets) offsets << " " << text;
  offsets << "\n";

  result.headline = table.Markdown();
  std::ostringstream out;
  out << "## Over delayed paths\n\n"
      << "The same time-page server on " << kAddress << " behind tidewell_bench_delay_proxy, "
      << "which delays every chunk by a fixed time per direction (up = request, down = reply; "
      << "this kernel has no netem). Its handshake is not delayed, so wall times are one round "
         "trip shorter than on a real path of the same delays. For each run the served offset is "
      << options.wholeOffsetSeconds << " s plus a fraction drawn at random (seed " << options.seed
      << "), the same for every program in that run; error = requested − (real clock at the "
         "call + that run's offset), from the interposer's log, as above. "
      << options.runs
      << " runs per row. *aligned*: the server's default, holding each request to the next "
         "whole second. *immediate*: `--immediate`, the current second at once, as an ordinary "
         "web server gives its Date header; htpdate always gets these (against held replies its "
         "search for the second boundary goes up to a second wrong). htpdate has two rows: "
         "*step*, what it asked the clock for, and *est.*, the offset it printed (\"Setting "
         "37.250 seconds\", to the millisecond) against the served one. They differ because "
         "htpdate 1.3.7 `-s` asks for a whole second, the fraction of its estimate dropped (the "
         "interposer logs `requested=….000000000`), so its step is up to a second behind even "
         "when its estimate is close. The ratio rows are against the estimate of "
      << kContenders[kPeer].program << " (htpdate's default precision) on the same path, the "
      << "kinder of its two results; below 1 means fenwhit is smaller (better).\n\n"
      << result.headline << "\n"
      << "*at once + figures*: the server's default with a client that sends `Prefer: no-hold`, "
         "as fenwhit does: the reply comes at once, and fenwhit takes the delay out with its "
         "`Server-Timing` figures. *aligned, no figures*: `--no-timing`, a server from before "
         "the figures, which holds the request to the next whole second. *immediate, no "
         "figures*: the page's whole second, as it stands.\n\n"
      << "*" << kFrontPath.name << "*: fenwhit built for https://" << kAddress << ":" << kFrontPort
      << " with a CA made for the run, through the shipped nginx configuration "
         "(packaging/nginx, TLS, unbuffered) straight to the server, no delaying proxy; each "
         "run is a new TLS connection, its handshake before the request.\n\n"
      << "Every method that times one exchange assumes the reply took half the round trip. On "
         "a path whose directions differ it errs by half their difference, whatever it does: "
         "on 5/20 ms that is 7.5 ms, NTP's included.\n\n"
      << "Request to first byte of the reply, curl through each path (immediate replies): "
      << turnarounds.str() << ".\n\n"
      << "Offsets drawn, run by run:\n\n"
      << offsets.str() << "\n";
  if (!notes.str().empty()) out << "Notes:\n\n" << notes.str() << "\n";
  result.section = out.str();
  return result;
}

}  // namespace tidewell::bench
