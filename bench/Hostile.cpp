#include "Hostile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "ClockLog.h"
#include "Report.h"
#include "ScriptedHttpServer.h"

namespace tidewell::bench {

using test::ClockCall;
using test::ReadClockLog;
namespace {

using namespace std::chrono_literals;
using test::ScriptedHttpServer;
using test::ScriptedReply;

constexpr const char* kPagePath = "/cgi-bin/timer.pl";
constexpr std::size_t kMiB = 1024 * 1024;
constexpr auto kDripInterval = 1000ms;

// fenwhit's download limits on Linux (platform/linux/CurlInternet.h): no case may keep it longer
// than the overall deadline. The grace covers start-up and the wrapper.
constexpr auto kFenwhitDeadline = 30s;
constexpr auto kDeadlineGrace = 2s;
// The body is capped at 4 MiB; the page is held as its bytes, as wide text and once more while
// it is put together, so a capped page may cost a few times the cap on top of a normal run.
constexpr long kSizeCapKb = 4 * 1024;
constexpr long kAllowedGrowthKb = 4 * kSizeCapKb;

// A page in the time service's style, for the cases that send (part of) a real page slowly.
// Nothing before the Universal line gives a time away, so a cut-off copy holds none.
const std::string kTimePage =
    "<HTML>\n<HEAD><TITLE>Time Page</TITLE></HEAD>\n<BODY>\n<H2>The time on this server</H2>\n"
    "<PRE>\n<BR>Dec. 07, 13:11:37 Universal Time\n<BR>Dec. 07, 08:11:37 AM EST\n"
    "</PRE>\n</BODY>\n</HTML>\n";
// Where the reset case cuts the page: inside the heading, before the Universal line.
constexpr std::size_t kResetAfterBytes = 64;

std::string RandomBytes(std::size_t size) {
  std::mt19937 generator(20261207);  // fixed, so every run sends the same junk
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(generator));
  return bytes;
}

// A loopback server below HTTP, for what ScriptedHttpServer cannot send: a reply whose head
// drips too, and bytes that are no HTTP at all. Every connection gets `reply` after its request
// head (or after a short wait for one), one byte every `pause` when that is not zero.
class RawServer {
 public:
  RawServer(const std::string& address, int port, std::string reply,
            std::chrono::milliseconds pause)
      : reply_(std::move(reply)), pause_(pause) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        listen(listener_, 64) != 0) {
      close(listener_);
      throw std::runtime_error("raw server: cannot listen on " + address);
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~RawServer() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& connection : connections_) connection.join();
    close(listener_);
  }

 private:
  static constexpr int kSliceMs = 20;

  bool Readable(int fd) const {
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, kSliceMs) > 0;
  }

  void AcceptLoop() {
    while (!stopping_) {
      if (!Readable(listener_)) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) connections_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  // Sleeps for `pause`, or less when the server stops or the client leaves; false then.
  bool Pause(int fd) const {
    const auto until = std::chrono::steady_clock::now() + pause_;
    while (std::chrono::steady_clock::now() < until) {
      if (stopping_) return false;
      char byte;
      if (Readable(fd) && recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return false;
    }
    return !stopping_;
  }

  // Never blocks for long, so that a client that stops reading cannot hold up Stop.
  bool SendAll(int fd, std::string_view bytes) const {
    while (!bytes.empty() && !stopping_) {
      pollfd waiting{fd, POLLOUT, 0};
      if (poll(&waiting, 1, kSliceMs) <= 0) continue;
      const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return bytes.empty();
  }

  void Serve(int fd) {
    std::string head;
    const auto giveUp = std::chrono::steady_clock::now() + 2s;
    while (!stopping_ && head.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < giveUp) {
      char chunk[4096];
      if (!Readable(fd)) continue;
      const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      head.append(chunk, static_cast<std::size_t>(got));
    }
    if (pause_.count() == 0) {
      SendAll(fd, reply_);
    } else {
      for (std::size_t i = 0; i < reply_.size() && Pause(fd); ++i) {
        if (!SendAll(fd, std::string_view(reply_).substr(i, 1))) break;
      }
    }
    shutdown(fd, SHUT_WR);
    while (!stopping_) {
      char chunk[4096];
      if (Readable(fd) && recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) break;
    }
    close(fd);
  }

  std::string reply_;
  std::chrono::milliseconds pause_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> connections_;  // only the acceptor thread adds to it
  std::thread acceptor_;
};

// Keeps one case's server alive; dropping it stops the server.
using ServerHandle = std::shared_ptr<void>;

ServerHandle Scripted(const std::string& address, int port, ScriptedReply reply) {
  auto server = std::make_shared<ScriptedHttpServer>(address, static_cast<std::uint16_t>(port));
  server->ServeOtherwise(std::move(reply));
  return server;
}

struct HostileCase {
  std::string name;
  bool slow;  // runs side by side with the other slow cases
  std::function<ServerHandle(const std::string& address, int port)> start;
};

std::vector<HostileCase> Cases() {
  return {
      {"never answers", true,
       [](auto& a, int p) { return Scripted(a, p, ScriptedReply::NeverAnswer()); }},
      {"drips the body, 1 byte/s", true,
       [](auto& a, int p) {
         return Scripted(a, p, ScriptedReply::Drip(kTimePage, kDripInterval));
       }},
      {"drips the whole reply, head too, 1 byte/s", true,
       [](auto& a, int p) -> ServerHandle {
         const std::string reply =
             "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTimePage.size()) + "\r\n\r\n" +
             kTimePage;
         return std::make_shared<RawServer>(a, p, reply, kDripInterval);
       }},
      {"endless body (chunked, 64 KiB pieces)", false,
       [](auto& a, int p) {
         return Scripted(a, p, ScriptedReply::Endless(std::string(64 * 1024, 'x'), 0ms));
       }},
      {"100 MiB body (Content-Length)", false,
       [](auto& a, int p) {
         return Scripted(a, p, ScriptedReply::Body(std::string(100 * kMiB, 'x')));
       }},
      {"binary junk body (1 MiB, 200 OK)", false,
       [](auto& a, int p) { return Scripted(a, p, ScriptedReply::Body(RandomBytes(kMiB))); }},
      {"binary junk instead of HTTP (64 KiB)", false,
       [](auto& a, int p) -> ServerHandle {
         return std::make_shared<RawServer>(a, p, RandomBytes(64 * 1024), 0ms);
       }},
      {"reset in the middle of the body", false,
       [](auto& a, int p) {
         return Scripted(a, p, ScriptedReply::ResetAfter(kTimePage, kResetAfterBytes));
       }},
  };
}

struct Outcome {
  std::string caseName;
  std::string program;
  bool fenwhit = false;
  Measured measured;
  std::vector<ClockCall> calls;
  std::string lastOutput;  // the program's last line of output, if any
};

std::string LastLine(const std::string& text) {
  std::istringstream lines(text);
  std::string last;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) last = line;
  }
  return last.size() > 60 ? last.substr(0, 57) + "..." : last;
}

class HostileRunner {
 public:
  HostileRunner(const Tools& tools, const Scratch& scratch, const HostileOptions& options)
      : tools_(tools), scratch_(scratch), options_(options) {}

  std::vector<Outcome> RunAll() {
    const std::vector<HostileCase> cases = Cases();
    if (cases.size() > static_cast<std::size_t>(TIDEWELL_BENCH_HOSTILE_COUNT)) {
      throw std::runtime_error("more hostile cases than fenwhit builds for them");
    }
    std::vector<ServerHandle> servers;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      servers.push_back(cases[i].start(Address(i), TIDEWELL_BENCH_PORT));
    }
    // The slow cases only wait on sockets; they run side by side while the quick ones go one
    // after another, so the section takes about as long as its slowest run.
    std::vector<std::thread> slow;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      if (!cases[i].slow) continue;
      for (const bool fenwhit : {true, false}) {
        slow.emplace_back([this, &cases, i, fenwhit] { Record(RunOne(cases[i], i, fenwhit)); });
      }
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
      if (cases[i].slow) continue;
      for (const bool fenwhit : {true, false}) Record(RunOne(cases[i], i, fenwhit));
    }
    for (std::thread& thread : slow) thread.join();
    servers.clear();

    std::vector<Outcome> ordered;
    for (const HostileCase& c : cases) {
      for (const bool fenwhit : {true, false}) {
        for (const Outcome& outcome : outcomes_) {
          if (outcome.caseName == c.name && outcome.fenwhit == fenwhit) ordered.push_back(outcome);
        }
      }
    }
    return ordered;
  }

 private:
  static std::string Address(std::size_t index) {
    return "127.0.0." + std::to_string(TIDEWELL_BENCH_HOSTILE_FIRST_OCTET + index);
  }

  Outcome RunOne(const HostileCase& c, std::size_t index, bool fenwhit) {
    const std::string tag =
        "hostile-" + std::to_string(index) + (fenwhit ? "-fenwhit" : "-htpdate");
    ProgramRun run;
    run.clockLog = scratch_.Path(tag + ".clock.log");
    run.outputFile = scratch_.Path(tag + ".out");
    run.killAfter = options_.killAfter;
    if (fenwhit) {
      run.command = {tools_.hostileDir + "/fenwhit_bench_hostile_" + std::to_string(index)};
    } else {
      run.command = {
          "htpdate", "-s",
          "http://" + Address(index) + ":" + std::to_string(TIDEWELL_BENCH_PORT) + kPagePath};
      run.preload = tools_.pretendRoot;
    }
    Outcome outcome;
    outcome.caseName = c.name;
    outcome.program = fenwhit ? "fenwhit" : "htpdate";
    outcome.fenwhit = fenwhit;
    outcome.measured = RunUnderInterposer(tools_, run);
    outcome.calls = ReadClockLog(run.clockLog);
    outcome.lastOutput = LastLine(ReadWholeFile(run.outputFile));
    return outcome;
  }

  void Record(Outcome outcome) {
    std::lock_guard lock(mutex_);
    outcomes_.push_back(std::move(outcome));
  }

  const Tools& tools_;
  const Scratch& scratch_;
  const HostileOptions& options_;
  std::mutex mutex_;
  std::vector<Outcome> outcomes_;
};

bool Ended(const Measured& m) { return m.reported && !m.killed; }

// fenwhit's promise on a hostile server: it ends within its deadline, its memory stays within
// the size cap's reach, and the clock is left alone.
bool FenwhitKeptItsLimits(const Outcome& o, long normalRssKb) {
  const double limit = std::chrono::duration<double>(kFenwhitDeadline + kDeadlineGrace).count();
  const bool memoryOk = normalRssKb == 0 || o.measured.maxRssKb <= normalRssKb + kAllowedGrowthKb;
  return Ended(o.measured) && o.measured.wallSeconds <= limit && memoryOk && o.calls.empty();
}

std::string ExitText(const Measured& m) {
  if (!m.reported) return "no report";
  if (m.killed) return "killed";
  if (m.signal != 0) return "signal " + std::to_string(m.signal);
  return std::to_string(m.exitStatus);
}

}  // namespace

std::string RunHostile(const Tools& tools, const Scratch& scratch, const HostileOptions& options) {
  HostileRunner runner(tools, scratch, options);
  const std::vector<Outcome> outcomes = runner.RunAll();

  Table table({"Server", "Program", "Ended", "Time", "Peak RSS", "Clock touched", "Exit",
               "Within fenwhit's limits", "Last output line"});
  int fenwhitOk = 0;
  int fenwhitRuns = 0;
  for (const Outcome& o : outcomes) {
    const Measured& m = o.measured;
    std::string verdict = "—";
    if (o.fenwhit) {
      ++fenwhitRuns;
      const bool ok = FenwhitKeptItsLimits(o, options.normalRssKb);
      fenwhitOk += ok ? 1 : 0;
      verdict = ok ? "yes" : "**NO**";
    }
    const std::string ended =
        Ended(m)
            ? "yes"
            : (m.killed
                   ? "did not end (killed at " + std::to_string(options.killAfter.count()) + " s)"
                   : "no report");
    table.AddRow({o.caseName, o.program, ended, FormatSeconds(m.wallSeconds), FormatKb(m.maxRssKb),
                  o.calls.empty() ? "no" : "**yes** (" + o.calls.front().function + ")",
                  ExitText(m), verdict, o.lastOutput.empty() ? "" : "`" + o.lastOutput + "`"});
  }

  std::ostringstream out;
  out << "## Hostile servers\n\n"
      << "One run of each program per server, each under the clock interposer as user 65534, "
         "killed if still running after "
      << options.killAfter.count()
      << " s. No reply carries a time (no Date header, no readable Universal line), so neither "
         "program has anything to set the clock to. fenwhit's limits: it ends within its "
      << kFenwhitDeadline.count() << " s overall deadline (+" << kDeadlineGrace.count()
      << " s for start-up), leaves the clock alone, and its peak memory stays within "
      << kAllowedGrowthKb / 1024 << " MiB (4 × the 4 MiB size cap) of a normal run ("
      << (options.normalRssKb > 0 ? FormatKb(options.normalRssKb) : std::string("unknown"))
      << "). The slow cases (the first three) ran side by side.\n\n"
      << table.Markdown() << "\n"
      << "fenwhit kept its limits in " << fenwhitOk << " of " << fenwhitRuns << " cases.\n\n";
  return out.str();
}

}  // namespace tidewell::bench
