#include "Load.h"

#include <algorithm>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>

#include "Report.h"
#include "Servers.h"

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

// Ports of their own, so that nothing here meets the accuracy runs' servers.
constexpr int kImmediatePort = TIDEWELL_BENCH_PORT + 2;
constexpr int kNginxPort = TIDEWELL_BENCH_PORT + 3;
constexpr int kAlignedPort = TIDEWELL_BENCH_PORT + 4;
constexpr int kMaxWrkThreads = 2;  // the machine has two cores; wrk shares them with the server

struct WrkResult {
  bool parsed = false;
  double requestsPerSecond = 0;
  long long requests = 0;
  std::optional<double> p99Seconds;
  long long connectErrors = 0, readErrors = 0, writeErrors = 0, timeouts = 0, non2xx = 0;
  std::string boundaryLag;  // from wrk/boundary.lua, aligned runs only
  std::string raw;
};

double ToSeconds(double value, const std::string& unit) {
  if (unit == "us") return value / 1e6;
  if (unit == "ms") return value / 1e3;
  if (unit == "m") return value * 60;
  return value;
}

WrkResult ParseWrk(const std::string& output) {
  WrkResult result;
  result.raw = output;
  std::smatch m;
  static const std::regex rate(R"(Requests/sec:\s+([\d.]+))");
  static const std::regex count(R"((\d+) requests in)");
  static const std::regex p99(R"(\n\s+99%\s+([\d.]+)(us|ms|s|m))");
  static const std::regex socket(
      R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))");
  static const std::regex non2xx(R"(Non-2xx or 3xx responses: (\d+))");
  static const std::regex lag(R"(boundary-lag-ms (.*))");
  if (std::regex_search(output, m, rate)) {
    result.parsed = true;
    result.requestsPerSecond = std::stod(m[1]);
  }
  if (std::regex_search(output, m, count)) result.requests = std::stoll(m[1]);
  if (std::regex_search(output, m, p99)) result.p99Seconds = ToSeconds(std::stod(m[1]), m[2]);
  if (std::regex_search(output, m, socket)) {
    result.connectErrors = std::stoll(m[1]);
    result.readErrors = std::stoll(m[2]);
    result.writeErrors = std::stoll(m[3]);
    result.timeouts = std::stoll(m[4]);
  }
  if (std::regex_search(output, m, non2xx)) result.non2xx = std::stoll(m[1]);
  if (std::regex_search(output, m, lag)) result.boundaryLag = m[1];
  return result;
}

WrkResult RunWrk(const Scratch& scratch, const std::string& url, int connections, int seconds,
                 const std::string& timeout, const std::string& script = "") {
  std::vector<std::string> command = {"wrk",
                                      "-t",
                                      std::to_string(std::min(connections, kMaxWrkThreads)),
                                      "-c",
                                      std::to_string(connections),
                                      "-d",
                                      std::to_string(seconds) + "s",
                                      "--timeout",
                                      timeout,
                                      "--latency"};
  if (!script.empty()) {
    command.push_back("-s");
    command.push_back(script);
  }
  command.push_back(url);
  // wrk stops by itself after `seconds`; the margin only guards against a hang.
  const Captured run =
      RunAndCapture(command, std::chrono::seconds(seconds + 20), scratch.Path("wrk.out"));
  return ParseWrk(run.output);
}

std::string ErrorsText(const WrkResult& r) {
  const long long total = r.connectErrors + r.readErrors + r.writeErrors + r.timeouts + r.non2xx;
  if (total == 0) return "0";
  std::ostringstream out;
  out << total << " (connect " << r.connectErrors << ", read " << r.readErrors << ", write "
      << r.writeErrors << ", timeout " << r.timeouts << ", non-2xx " << r.non2xx << ")";
  return out.str();
}

// The fields of "count=N p50=X ..." as a short text.
std::string LagText(const std::string& fields) {
  if (fields.empty()) return "—";
  std::string text = fields;
  for (const char* key : {"count=", "p50=", "p90=", "p99=", "max="}) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) continue;
    const std::string name = std::string(key).substr(0, std::string(key).size() - 1);
    text.replace(at, name.size() + 1, name + " ");
  }
  return text + " (ms)";
}

void AddRow(Table& table, const std::string& server, const std::string& mode, int connections,
            const WrkResult& r, const WrkResult* nginx = nullptr) {
  if (!r.parsed) {
    table.AddRow({server, mode, std::to_string(connections), "wrk output not understood"});
    return;
  }
  std::string versus = "";
  if (nginx != nullptr && nginx->parsed) {
    versus = FormatRatio(r.requestsPerSecond, nginx->requestsPerSecond) + " / " +
             FormatRatio(r.p99Seconds, nginx->p99Seconds);
  }
  table.AddRow({server, mode, std::to_string(connections), FormatCount(r.requestsPerSecond),
                r.p99Seconds ? FormatMs(*r.p99Seconds) : "—", std::to_string(r.requests),
                ErrorsText(r), versus});
}

void Progress(const std::string& text) { std::cerr << "[load] " << text << std::endl; }

}  // namespace

std::string RunLoad(const Tools& tools, const Scratch& scratch, const LoadOptions& options) {
  Table table({"Server", "Mode", "Connections", "Requests/s", "p99 latency", "Requests", "Errors",
               "vs nginx: req/s / p99"});
  std::string alignedLag;
  std::size_t pageSize = 0;
  {
    auto timepage =
        StartTimepage(tools, scratch, "load-timepage", kAddress, kImmediatePort, {"--immediate"});
    // nginx serves a copy of a real time page, so both send bodies of the same size.
    const Captured page =
        RunAndCapture({"curl", "-s", PageUrl(kImmediatePort)}, 10s, scratch.Path("load-page.out"));
    pageSize = page.output.size();
    const std::string config = std::string("  server {\n") + "    listen " + kAddress + ":" +
                               std::to_string(kNginxPort) + ";\n" + "    keepalive_timeout 10s;\n" +
                               "    keepalive_requests 100;\n" + "    default_type text/html;\n" +
                               "    root html;\n" + "  }\n";
    Nginx nginx(scratch, "nginx-static", config, kAddress, kNginxPort,
                {{std::string(kPagePath).substr(1), page.output}});
    for (const int connections : options.connections) {
      Progress(std::to_string(connections) + " connections");
      const WrkResult ours =
          RunWrk(scratch, PageUrl(kImmediatePort), connections, options.seconds, "2s");
      const WrkResult peer =
          RunWrk(scratch, PageUrl(kNginxPort), connections, options.seconds, "2s");
      AddRow(table, "tidewell-timepage", "immediate", connections, ours, &peer);
      AddRow(table, "nginx (static page)", "static", connections, peer);
    }
  }
  {
    Progress("aligned, " + std::to_string(options.alignedConnections) + " connections");
    auto aligned = StartTimepage(tools, scratch, "load-aligned", kAddress, kAlignedPort, {});
    const WrkResult r = RunWrk(scratch, PageUrl(kAlignedPort), options.alignedConnections,
                               options.seconds, "3s", tools.sourceDir + "/wrk/boundary.lua");
    AddRow(table, "tidewell-timepage", "aligned", options.alignedConnections, r);
    alignedLag = LagText(r.boundaryLag);
  }

  std::ostringstream out;
  out << "## tidewell-timepage under load\n\n"
      << "wrk on loopback, " << options.seconds << " s per row, up to " << kMaxWrkThreads
      << " threads, `--latency`. The page is " << pageSize
      << " bytes; nginx serves a copy of it as a static file, with one worker (the time-page "
         "server has one thread). Both keep a client's connection for up to 100 requests with "
         "10 s between them, as the time-page server does. "
         "wrk, the servers and everything else share the machine's cores.\n\n"
      << table.Markdown() << "\n"
      << "In aligned mode every request is held until the next whole second, so each connection "
         "makes about one request a second and the latency is mostly that wait. What matters "
         "is how soon after the boundary the replies arrive: measured by wrk/boundary.lua as "
         "the fraction of the second of this machine's clock (the server runs with offset 0) at "
         "which wrk saw each reply: "
      << alignedLag << ".\n\n";
  return out.str();
}

}  // namespace tidewell::bench
