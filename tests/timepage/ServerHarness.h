#pragma once

// Runs the real tidewell-timepage binary on a loopback port and talks HTTP to it, for the
// process-level tests. Everything here is bounded in time: a server that does not answer
// makes a test fail, never hang.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"
#include "OpenFileLimit.h"

namespace timepage_test {

using tidewell::test::ChildResult;
using tidewell::tools::RaiseOpenFileLimit;

using Clock = std::chrono::system_clock;
using Instant = std::chrono::sys_time<std::chrono::nanoseconds>;
using Second = std::chrono::sys_seconds;

// On loopback a page that leaves on its second arrives well inside this.
inline constexpr std::chrono::nanoseconds kArrivalBound{std::chrono::milliseconds(20)};
// A reply that is not held for a boundary comes back within this, even under the sanitizers on
// a busy machine; a held one takes hundreds of milliseconds more.
inline constexpr std::chrono::nanoseconds kPromptReply{std::chrono::milliseconds(150)};

Instant RealNow();

// Sleeps until this machine's clock is `phase` past a whole second (the next such moment).
Instant SleepUntilPhase(std::chrono::nanoseconds phase);

class ServerProcess {
 public:
  // Starts the binary with `args` and waits (up to 5 s) for its "listening on" line.
  explicit ServerProcess(std::vector<std::string> args);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  pid_t pid() const { return process_->pid(); }
  const std::string& listeningLine() const { return listeningLine_; }

  // Lines the server wrote to stdout after the listening line, waiting up to `wait` for
  // `count` of them.
  std::vector<std::string> ReadLines(std::size_t count, std::chrono::milliseconds wait);
  // Lowers the server's limit on open files, soft and hard, to `count` (it raises its soft limit
  // to the hard one as it starts, so both must go down).
  bool LimitOpenFiles(unsigned count);
  // Sends `signal` and waits up to 5 s for the exit.
  ChildResult Stop(int signal);
  // What the server wrote to stderr after it started listening, so far (after Stop: all of it).
  std::string Stderr();
  // What it wrote to stderr before: the state of this machine's clock when it is unsynchronised.
  const std::string& startupStderr() const { return startupErr_; }

 private:
  std::unique_ptr<tidewell::test::BackgroundProcess> process_;
  int stdout_ = -1;
  int stderr_ = -1;
  std::uint16_t port_ = 0;
  std::string listeningLine_;
  std::string pendingOut_;
  std::string errText_;
  std::string startupErr_;
};

// Runs the binary to its end with `args` (for option errors and bind failures).
ChildResult RunToExit(std::vector<std::string> args, std::chrono::milliseconds limit);

struct HttpReply {
  bool complete = false;  // a whole reply (head and Content-Length bytes) arrived
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  Instant receivedAt{};  // when the last byte of the reply arrived
};

// Parses what a server sent; `headOnly` for a reply to HEAD.
HttpReply ParseReply(const std::string& raw, bool headOnly);

// A blocking loopback client socket with a receive time-out, or -1. It asks the kernel to
// stamp arriving data, so that arrival times do not include how long this process took to
// get round to reading (which on a busy two-core machine is the larger part).
int ConnectLoopback(std::uint16_t port, bool v6 = false);

// recv() that also gives the kernel's arrival stamp of the data read (this machine's clock),
// or the time of reading when the kernel gave none. Data that came in several segments and
// waited to be read carries the stamp of the last, so a stamp is never earlier than the
// arrival of the whole.
ssize_t ReceiveStamped(int fd, char* buffer, std::size_t size, Instant* arrivedAt);
bool SendAll(int fd, std::string_view bytes);
// Reads one reply to its end (or the server's close), stamping when it became complete.
HttpReply ReadReply(int fd, bool headOnly = false);

HttpReply Fetch(std::uint16_t port, std::string_view request, bool v6 = false);
// A GET as the Tidewell clients send it, plus "Connection: close": the server closes after
// the reply, so reading to the end of the stream reads exactly that one reply.
std::string GetRequest(std::string_view target = "/cgi-bin/timer.pl");
// An HTTP/1.1 request with no Connection header: the connection stays open after the reply.
std::string PersistentRequest(std::string_view method = "GET",
                              std::string_view target = "/cgi-bin/timer.pl");

// Reads the replies on a connection that may carry several, one at a time, keeping what
// already arrived of the next.
class ReplyStream {
 public:
  explicit ReplyStream(int fd) : fd_(fd) {}
  // The next whole reply (complete == false if the stream ended or the receive time-out
  // passed first). Its receivedAt is the arrival of the data that completed it.
  HttpReply Next(bool headOnly = false);
  // Whether the server ends the stream within `wait` without sending anything more.
  bool EndsWithin(std::chrono::milliseconds wait);
  // Bytes received beyond the replies read so far.
  const std::string& pending() const { return pending_; }

 private:
  int fd_;
  std::string pending_;
  Instant lastArrival_{};
};

// The second that the page's Universal line names, read the way the Tidewell clients read
// it (the text between the last comma before the first "Universal" and that word), on the
// date given by its "Mon. DD" prefix in the year of `near` (the year nearest to it).
std::optional<Second> PageSecond(const std::string& body, Instant near);
// The second a Date header names.
std::optional<Second> HttpDateSecond(const std::string& value);

// The value of a reply's header (name in lower case), empty when it has none.
std::string Header(const HttpReply& reply, const std::string& name);
// The page's second, checked against its Date header.
Second ServedSecond(const HttpReply& reply);

}  // namespace timepage_test
