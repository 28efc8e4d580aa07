#include "Accuracy.h"

#include <cmath>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "Report.h"
#include "RunSummary.h"
#include "Servers.h"

namespace tidewell::bench {

namespace {

using namespace std::chrono_literals;

// fenwhit_bench asks this port; in the front's runs nginx holds it and the server sits behind.
constexpr int kPort = TIDEWELL_BENCH_PORT;
constexpr int kBehindFrontPort = TIDEWELL_BENCH_PORT + 1;

struct Mode {
  std::string name;  // as in the table
  std::vector<std::string> serverArguments;
  bool aligned;
};

struct Series {
  std::string mode;
  std::string path;
  std::string program;
  std::vector<RunRecord> runs;
};

class AccuracyRunner {
 public:
  AccuracyRunner(const Tools& tools, const Scratch& scratch, const AccuracyOptions& options)
      : tools_(tools), scratch_(scratch), options_(options) {}

  // Waits until the server's clock is `phase` (0..1) of the way into a second. A page that
  // carries whole seconds only is off by however far into the second it was asked for, so the
  // immediate runs start at evenly spread points of the second rather than wherever the last
  // run happened to end; without this, runs that follow each other lock onto one phase.
  void WaitForPhase(double phase) const {
    const double served = RealNow() + options_.offsetSeconds;
    double wait = phase - (served - std::floor(served));
    if (wait < 0) wait += 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  }

  RunRecord RunFenwhit() {
    ProgramRun run = NewRun("fenwhit");
    run.command = {tools_.fenwhit};
    return Finish(run);
  }

  // htpdate reads the Date header of the same page (with HEAD requests); -s steps the clock
  // once and ends, in the foreground, without a daemon or a switch of user.
  RunRecord RunHtpdate() {
    ProgramRun run = NewRun("htpdate");
    run.command = {"htpdate", "-s", PageUrl(kPort)};
    run.preload = tools_.pretendRoot;
    return Finish(run);
  }

 private:
  ProgramRun NewRun(const std::string& program) {
    const std::string tag = "accuracy-" + std::to_string(++counter_) + "-" + program;
    ProgramRun run;
    run.clockLog = scratch_.Path(tag + ".clock.log");
    run.outputFile = scratch_.Path(tag + ".out");
    run.killAfter = options_.killAfter;
    return run;
  }

  RunRecord Finish(const ProgramRun& run) {
    return RunAndRecord(tools_, run, options_.offsetSeconds);
  }

  const Tools& tools_;
  const Scratch& scratch_;
  const AccuracyOptions& options_;
  int counter_ = 0;
};

// --- Served pages ----------------------------------------------------------------------------

std::string UtcText(long long second, const char* format) {
  const std::time_t t = static_cast<std::time_t>(second);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[64];
  std::strftime(text, sizeof text, format, &utc);
  return text;
}

struct PageCheck {
  int samples = 0;
  int rightPage = 0;            // the Universal line named an allowed second
  int rightHeader = 0;          // the Date header named the same second
  double worstLateSeconds = 0;  // aligned: how long after that second curl had ended, at most
};

// Fetches a few pages with curl and checks each against this machine's clock plus the offset:
// an immediate reply must carry the second in which it was asked for, an aligned one the first
// whole second after the request came in.
PageCheck CheckPages(const Scratch& scratch, const AccuracyOptions& options, bool aligned) {
  PageCheck check;
  for (int i = 0; i < options.pageSamples; ++i) {
    const double before = RealNow() + options.offsetSeconds;
    const Captured page = RunAndCapture({"curl", "-s", "-i", "--max-time", "5", PageUrl(kPort)},
                                        10s, scratch.Path("page-check.out"));
    const double after = RealNow() + options.offsetSeconds;
    ++check.samples;
    if (page.exitStatus != 0) continue;
    const auto first = static_cast<long long>(aligned ? std::ceil(before) : std::floor(before));
    const auto last = static_cast<long long>(std::floor(after));
    for (long long second = first; second <= last; ++second) {
      if (page.output.find(UtcText(second, "%b. %d, %H:%M:%S Universal Time")) ==
          std::string::npos) {
        continue;
      }
      ++check.rightPage;
      if (page.output.find("Date: " + UtcText(second, "%a, %d %b %Y %H:%M:%S GMT")) !=
          std::string::npos) {
        ++check.rightHeader;
      }
      if (aligned) check.worstLateSeconds = std::max(check.worstLateSeconds, after - second);
      break;
    }
  }
  return check;
}

// --- The table -------------------------------------------------------------------------------

RunsSummary Summarise(const Series& series) { return SummariseRuns(series.runs); }

const std::vector<std::string> kColumns = {
    "Replies",       "Path",         "Program",     "Clock set", "abs error median",
    "abs error p95", "error median", "wall median", "wall p95",  "peak RSS median",
    "peak RSS p95"};

void AddSeriesRow(Table& table, const Series& series, const RunsSummary& s) {
  table.AddRow({series.mode, series.path, series.program,
                std::to_string(s.set) + "/" + std::to_string(s.runs), Ms(Median(s.absError)),
                Ms(P95(s.absError)), Ms(Median(s.error)), Secs(Median(s.wall)), Secs(P95(s.wall)),
                Kb(Median(s.rss)), Kb(P95(s.rss))});
}

void AddRatioRow(Table& table, const std::string& mode, const std::string& path,
                 const RunsSummary& ours, const RunsSummary& peer) {
  table.AddRow({mode, path, "**fenwhit / htpdate**", "",
                FormatRatio(Median(ours.absError), Median(peer.absError)),
                FormatRatio(P95(ours.absError), P95(peer.absError)), "",
                FormatRatio(Median(ours.wall), Median(peer.wall)),
                FormatRatio(P95(ours.wall), P95(peer.wall)),
                FormatRatio(Median(ours.rss), Median(peer.rss)),
                FormatRatio(P95(ours.rss), P95(peer.rss))});
}

// A second path to the same server: htpdate sends all its requests on one kept-alive connection,
// which the time-page server did not always keep open. nginx keeps the client's connection and
// opens a new one to the server per request; the Date header is the server's own
// (proxy_pass_header), so both programs read the same clock.
std::string FrontConfig() {
  return std::string("  server {\n") + "    listen " + kAddress + ":" + std::to_string(kPort) +
         ";\n" + "    keepalive_timeout 30s;\n" + "    location / {\n" +
         "      proxy_pass http://" + kAddress + ":" + std::to_string(kBehindFrontPort) + ";\n" +
         "      proxy_pass_header Date;\n" + "      proxy_pass_header Server;\n" + "    }\n" +
         "  }\n";
}

// Run i of n starts (i + ½)/n of the way into the server's second.
double Phase(int i, int n) { return (i + 0.5) / n; }

void Progress(const std::string& text) { std::cerr << "[accuracy] " << text << std::endl; }

}  // namespace

AccuracyResult RunAccuracy(const Tools& tools, const Scratch& scratch,
                           const AccuracyOptions& options) {
  char offset[32];
  std::snprintf(offset, sizeof offset, "%.3f", options.offsetSeconds);
  const std::vector<Mode> modes = {
      {"aligned", {"--offset", offset}, true},
      {"immediate", {"--offset", offset, "--immediate"}, false},
  };

  AccuracyRunner runner(tools, scratch, options);
  Table table(kColumns);
  std::ostringstream notes;
  std::ostringstream pages;
  long fenwhitNormalRss = 0;
  bool htpdateDirectFailed = false;

  for (const Mode& mode : modes) {
    Series fenwhitDirect{mode.name, "direct", "fenwhit", {}};
    Series htpdateDirect{mode.name, "direct", "htpdate", {}};
    Series fenwhitFront{mode.name, "nginx front", "fenwhit", {}};
    Series htpdateFront{mode.name, "nginx front", "htpdate", {}};
    {
      Progress(mode.name + ": direct");
      auto server = StartTimepage(tools, scratch, "timepage-" + mode.name, kAddress, kPort,
                                  mode.serverArguments);
      const PageCheck check = CheckPages(scratch, options, mode.aligned);
      pages << "- " << mode.name << ": " << check.rightPage << "/" << check.samples
            << " pages carried the right second, " << check.rightHeader << "/" << check.samples
            << " Date headers agreed with them";
      if (mode.aligned) {
        pages << "; curl had ended at most " << FormatMs(check.worstLateSeconds)
              << " after the second on the page (its start-up and exit included)";
      }
      pages << ".\n";
      for (int i = 0; i < options.runs; ++i) {
        if (!mode.aligned) runner.WaitForPhase(Phase(i, options.runs));
        fenwhitDirect.runs.push_back(runner.RunFenwhit());
      }
      // htpdate goes on only if its first direct try set the clock; see the note below.
      htpdateDirect.runs.push_back(runner.RunHtpdate());
      if (htpdateDirect.runs.front().error) {
        for (int i = 1; i < options.runs; ++i) htpdateDirect.runs.push_back(runner.RunHtpdate());
      } else {
        htpdateDirectFailed = true;
        notes << "- " << mode.name << ", direct: htpdate did not set the clock (exit "
              << htpdateDirect.runs.front().measured.exitStatus << ", said `"
              << htpdateDirect.runs.front().lastOutput << "`), so it was tried once only.\n";
      }
    }
    {
      Progress(mode.name + ": through the nginx front");
      auto server = StartTimepage(tools, scratch, "timepage-behind-" + mode.name, kAddress,
                                  kBehindFrontPort, mode.serverArguments);
      Nginx front(scratch, "nginx-front-" + mode.name, FrontConfig(), kAddress, kPort);
      // Taking turns, so that both programs see the same conditions.
      for (int i = 0; i < options.runs; ++i) {
        if (!mode.aligned) runner.WaitForPhase(Phase(i, options.runs));
        fenwhitFront.runs.push_back(runner.RunFenwhit());
        if (!mode.aligned) runner.WaitForPhase(Phase(i, options.runs));
        htpdateFront.runs.push_back(runner.RunHtpdate());
      }
    }

    const RunsSummary fd = Summarise(fenwhitDirect);
    const RunsSummary hd = Summarise(htpdateDirect);
    const RunsSummary ff = Summarise(fenwhitFront);
    const RunsSummary hf = Summarise(htpdateFront);
    AddSeriesRow(table, fenwhitDirect, fd);
    AddSeriesRow(table, htpdateDirect, hd);
    if (hd.set > 0) AddRatioRow(table, mode.name, "direct", fd, hd);
    AddSeriesRow(table, fenwhitFront, ff);
    AddSeriesRow(table, htpdateFront, hf);
    AddRatioRow(table, mode.name, "nginx front", ff, hf);
    if (mode.aligned && fd.rss) fenwhitNormalRss = static_cast<long>(fd.rss->median);
  }

  AccuracyResult result;
  result.headline = table.Markdown();
  result.fenwhitNormalRssKb = fenwhitNormalRss;
  std::ostringstream out;
  out << "## Accuracy, time and memory against htpdate\n\n"
      << "tidewell-timepage runs on " << kAddress << " with `--offset " << offset
      << "`, so the right step is +" << offset
      << " s. Each run goes through the clock interposer as user 65534; error = requested − "
         "(real clock at the call + offset), from the interposer's log. Wall time is from the "
         "start to the exit of the program itself and peak RSS is its own (wait4), both taken "
         "by tidewell_bench_measure inside the wrapper. "
      << options.runs
      << " runs per row; percentiles are nearest-rank (p95 of up to 20 runs is the largest). "
         "*aligned*: the server holds each request to the next whole second and answers then; "
         "*immediate*: it answers at once with the current second, and run i of n starts (i + ½)/n "
         "of the way into the server's second, since the error of a whole-second page depends "
         "on where in the second it is asked for (htpdate's direct try excepted). *nginx front*: "
         "both "
         "programs reach the same server through an nginx keep-alive front (see below). "
         "TZ=UTC for every run. In the ratio rows, below 1 means fenwhit is smaller (better).\n\n"
      << result.headline << "\n"
      << "Served pages, checked with curl against this machine's clock + offset:\n\n"
      << pages.str() << "\n";
  if (!notes.str().empty()) out << "Notes:\n\n" << notes.str() << "\n";
  if (htpdateDirectFailed) {
    out << "Why the *direct* htpdate rows are empty: htpdate makes all its requests (HEAD, some "
           "tenths of a second apart, to find the second boundary) on one connection, while "
           "the time-page server closed the connection after its reply; "
           "htpdate's second request then reads end-of-file and it gives up (seen with strace "
           "when this benchmark was written). ";
  }
  out << "The *nginx front* rows put nginx (keep-alive towards the client, a new connection to "
         "the server per request, the server's own Date header passed through) in front of the "
         "same server, for both programs alike. htpdate refuses to run unless getuid() is 0 and "
         "calls seteuid(0) before it sets the clock; a preload (bench/PretendRoot.cpp) answers "
         "those as if it were root while it really runs as 65534 with no capabilities (checked "
         "before the runs), and its clock_settime is caught by the interposer like fenwhit's.\n\n";
  result.section = out.str();
  return result;
}

}  // namespace tidewell::bench
