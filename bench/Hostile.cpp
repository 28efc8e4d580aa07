#include "Hostile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "ClockLog.h"
#include "OpenFileLimit.h"
#include "Report.h"
#include "ScriptedHttpServer.h"
#include "Servers.h"
#include "Stats.h"

namespace tidewell::bench {

using test::ClockCall;
using test::ReadClockLog;
namespace {

using namespace std::chrono_literals;
using test::ScriptedHttpServer;
using test::ScriptedReply;

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

namespace {

// The hostile clients' server listens on an address of its own, so that nothing it is put
// through meets the other sections' servers.
constexpr const char* kClientsAddress = TIDEWELL_BENCH_CLIENTS_ADDRESS;
constexpr int kClientsPort = TIDEWELL_BENCH_PORT;
// The normal client asks at this point of a second, and gives up on its page after this.
constexpr auto kProbePhase = 300ms;
constexpr auto kProbeLimit = 3s;
constexpr auto kConnectLimit = 1s;
constexpr int kBatchesPerSecond = 10;
constexpr std::size_t kJunkBytes = 16 * 1024;
constexpr std::string_view kHalfRequest =
    "GET /cgi-bin/timer.pl HTTP/1.1\r\nHost: 127.0.0.75\r\nUser-Agent: VB Pro";
constexpr std::string_view kWholeRequest = "GET /cgi-bin/timer.pl HTTP/1.0\r\n\r\n";

enum class Misbehaviour {
  kNone,        // only the normal client
  kHalfSent,    // the start of a request head, then nothing
  kHalfClosed,  // a whole request, then the sending side shut (and the page never read)
  kJunk,        // 16 KiB of random bytes
  kIdle,        // connected, nothing sent
};

struct ClientCase {
  std::string name;
  Misbehaviour misbehaviour;
  bool limitFiles;  // the server may open only HostileClientOptions::floodFiles files
};

std::vector<ClientCase> ClientCases(const HostileClientOptions& options) {
  const std::string files = std::to_string(options.floodFiles);
  return {
      {"none (the normal client alone)", Misbehaviour::kNone, false},
      {"half-sent requests", Misbehaviour::kHalfSent, false},
      {"half-closes after a whole request", Misbehaviour::kHalfClosed, false},
      {"binary junk, 16 KiB each", Misbehaviour::kJunk, false},
      {"descriptor flood: idle connections, server limited to " + files + " files",
       Misbehaviour::kIdle, true},
      {"half-sent requests, server limited to " + files + " files", Misbehaviour::kHalfSent, true},
  };
}

// A blocking socket connected to the server, with `limit` on sending and receiving; -1 when it
// could not connect.
int ConnectToServer(std::chrono::milliseconds limit) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const timeval wait{static_cast<time_t>(limit.count() / 1000),
                     static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<std::uint16_t>(kClientsPort));
  inet_pton(AF_INET, kClientsAddress, &where.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int OpenMisbehaving(Misbehaviour misbehaviour, const std::string& junk) {
  const int fd = ConnectToServer(kConnectLimit);
  if (fd < 0) return -1;
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
  switch (misbehaviour) {
    case Misbehaviour::kHalfSent:
      send(fd, kHalfRequest.data(), kHalfRequest.size(), flags);
      break;
    case Misbehaviour::kHalfClosed:
      send(fd, kWholeRequest.data(), kWholeRequest.size(), flags);
      shutdown(fd, SHUT_WR);
      break;
    case Misbehaviour::kJunk:
      send(fd, junk.data(), junk.size(), flags);
      break;
    case Misbehaviour::kIdle:
    case Misbehaviour::kNone:
      break;
  }
  return fd;
}

// The server's resident memory in KiB, from /proc; 0 when it cannot be read.
long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Samples the server's memory on a thread of its own while it lives.
class RssWatch {
 public:
  explicit RssWatch(pid_t pid) : pid_(pid), thread_([this] { Sample(); }) {}
  ~RssWatch() {
    stop_ = true;
    thread_.join();
  }
  long PeakKb() const { return peak_; }

 private:
  void Sample() {
    while (!stop_) {
      peak_ = std::max(peak_.load(), ResidentKb(pid_));
      std::this_thread::sleep_for(20ms);
    }
  }

  pid_t pid_;
  std::atomic<bool> stop_{false};
  std::atomic<long> peak_{0};
  std::thread thread_;
};

using SystemTime = std::chrono::system_clock::time_point;

SystemTime SleepUntilPhase(std::chrono::nanoseconds phase) {
  const auto now = std::chrono::system_clock::now();
  auto target = std::chrono::floor<std::chrono::seconds>(now) + phase;
  if (target <= now) target += 1s;
  const auto since = target.time_since_epoch();
  const auto whole = std::chrono::floor<std::chrono::seconds>(since);
  const timespec at{static_cast<time_t>(whole.count()),
                    static_cast<long>(std::chrono::nanoseconds(since - whole).count())};
  while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
  return std::chrono::system_clock::now();
}

// "13:11:37 Universal": how the page names `second`.
std::string UniversalText(std::chrono::sys_seconds second) {
  const time_t t = std::chrono::system_clock::to_time_t(second);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S Universal", &parts);
  return text;
}

// One request of the normal client, sent at kProbePhase of a second: whether its page named
// the next whole second, and how long after that second it arrived.
struct Probe {
  bool onItsSecond = false;
  double afterSecondMs = 0;
};

Probe ProbeOnce() {
  Probe probe;
  const int fd = ConnectToServer(kProbeLimit);
  if (fd < 0) return probe;
  const SystemTime sent = SleepUntilPhase(kProbePhase);
  const std::string request =
      "GET /cgi-bin/timer.pl HTTP/1.1\r\nHost: 127.0.0.75\r\nUser-Agent: VB Project\r\n"
      "Connection: close\r\n\r\n";
  std::string reply;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char chunk[4096];
    for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      reply.append(chunk, static_cast<std::size_t>(got));
    }
  }
  const SystemTime arrived = std::chrono::system_clock::now();
  close(fd);
  const auto second = std::chrono::ceil<std::chrono::seconds>(sent);
  probe.onItsSecond =
      reply.rfind("HTTP/1.1 200", 0) == 0 && reply.find(UniversalText(second)) != std::string::npos;
  probe.afterSecondMs = std::chrono::duration<double, std::milli>(arrived - second).count();
  return probe;
}

// What became of the misbehaving connections by the end of a case.
struct Fates {
  int answered = 0;  // the server sent something
  int closed = 0;    // the server closed or reset without sending
  int open = 0;      // still waiting
};

Fates FatesOf(const std::vector<int>& fds) {
  Fates fates;
  for (const int fd : fds) {
    char byte;
    const ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) {
      ++fates.answered;
    } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ++fates.open;
    } else {
      ++fates.closed;
    }
  }
  return fates;
}

struct ClientOutcome {
  std::string name;
  int opened = 0;
  Fates fates;
  long rssBeforeKb = 0;
  long rssPeakKb = 0;
  std::vector<Probe> probes;
  bool alive = false;
  int stderrLines = 0;
};

// Opens `options.clients` misbehaving connections in even batches over the spread.
std::vector<int> OpenCrowd(const ClientCase& c, const HostileClientOptions& options) {
  std::vector<int> fds;
  if (c.misbehaviour == Misbehaviour::kNone) return fds;
  const std::string junk = RandomBytes(kJunkBytes);
  const int batches = options.spreadSeconds * kBatchesPerSecond;
  const auto start = std::chrono::steady_clock::now();
  for (int batch = 0; batch < batches; ++batch) {
    const int upTo = options.clients * (batch + 1) / batches;
    while (static_cast<int>(fds.size()) < upTo) {
      const int fd = OpenMisbehaving(c.misbehaviour, junk);
      if (fd < 0) break;  // the server's queue is full: this batch ends here
      fds.push_back(fd);
    }
    std::this_thread::sleep_until(start + (batch + 1) * (1000ms / kBatchesPerSecond));
  }
  return fds;
}

int CountStderrLines(const std::string& output) {
  int lines = 0;
  std::istringstream text(output);
  for (std::string line; std::getline(text, line);) {
    // The start-up lines, the listening address and the state of this machine's clock, are not
    // faults of the run.
    if (!line.empty() && !line.starts_with("listening on") &&
        !line.starts_with("tidewell-timepage: this machine's clock is not synchronised")) {
      ++lines;
    }
  }
  return lines;
}

ClientOutcome RunClientCase(const Tools& tools, const Scratch& scratch, const ClientCase& c,
                            std::size_t index, const HostileClientOptions& options) {
  ClientOutcome outcome;
  outcome.name = c.name;
  const std::string name = "hostile-clients-" + std::to_string(index);
  auto server = StartTimepage(tools, scratch, name, kClientsAddress, kClientsPort, {});
  const pid_t pid = server->pid();
  if (c.limitFiles) {
    const rlimit limit{options.floodFiles, options.floodFiles};
    if (prlimit(pid, RLIMIT_NOFILE, &limit, nullptr) != 0) {
      throw std::runtime_error("cannot limit the time-page server's open files");
    }
  }
  outcome.rssBeforeKb = ResidentKb(pid);
  std::vector<int> crowd;
  {
    RssWatch watch(pid);
    std::thread opener([&] { crowd = OpenCrowd(c, options); });
    for (int i = 0; i < options.probes; ++i) outcome.probes.push_back(ProbeOnce());
    opener.join();
    outcome.rssPeakKb = watch.PeakKb();
  }
  outcome.opened = static_cast<int>(crowd.size());
  outcome.fates = FatesOf(crowd);
  outcome.alive = server->Running();
  for (const int fd : crowd) close(fd);
  server->Stop();
  outcome.stderrLines = CountStderrLines(ReadWholeFile(scratch.Path(name + ".out")));
  return outcome;
}

std::string ProbesText(const std::vector<Probe>& probes) {
  const auto right = std::count_if(probes.begin(), probes.end(),
                                   [](const Probe& probe) { return probe.onItsSecond; });
  return std::to_string(right) + " of " + std::to_string(probes.size());
}

std::string LatenessText(const std::vector<Probe>& probes) {
  std::vector<double> after;
  for (const Probe& probe : probes) {
    if (probe.onItsSecond) after.push_back(probe.afterSecondMs / 1000);
  }
  const auto summary = Summarise(after);
  if (!summary) return "—";
  return FormatMs(summary->median) + " / " + FormatMs(summary->max);
}

}  // namespace

std::string RunHostileClients(const Tools& tools, const Scratch& scratch,
                              const HostileClientOptions& options) {
  tools::RaiseOpenFileLimit();
  const std::vector<ClientCase> cases = ClientCases(options);
  Table table({"Clients", "Opened", "Server RSS before → peak", "Normal client: page on its second",
               "after its second: median / max", "Misbehaving at the end: answered / closed / open",
               "Server alive", "stderr lines"});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::cerr << "[hostile clients] " << cases[i].name << std::endl;
    const ClientOutcome o = RunClientCase(tools, scratch, cases[i], i, options);
    table.AddRow({o.name, std::to_string(o.opened),
                  FormatKb(o.rssBeforeKb) + " → " + FormatKb(o.rssPeakKb), ProbesText(o.probes),
                  LatenessText(o.probes),
                  std::to_string(o.fates.answered) + " / " + std::to_string(o.fates.closed) +
                      " / " + std::to_string(o.fates.open),
                  o.alive ? "yes" : "**NO**", std::to_string(o.stderrLines)});
  }

  std::ostringstream out;
  out << "## tidewell-timepage against hostile clients\n\n"
      << "One server per row (aligned replies, default limits unless the row says otherwise) on "
      << kClientsAddress << ":" << kClientsPort << ". Up to " << options.clients
      << " misbehaving connections are opened in even batches over " << options.spreadSeconds
      << " s and kept open to the end of the row, while a normal client asks for the page "
      << options.probes << " times, once a second, at " << kProbePhase.count()
      << " ms past the second: its page should name the next whole second and arrive just "
         "after it. The server's memory is its VmRSS from /proc, sampled every 20 ms. "
         "The misbehaving connections' fates are read at the end of the row, before they "
         "close.\n\n"
      << table.Markdown() << "\n";
  return out.str();
}

}  // namespace tidewell::bench
