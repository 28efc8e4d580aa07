#pragma once

// The event loop of tidewell-timepage: one thread and one epoll set. Connections that wait for
// their second are parked at no cost beyond a socket and a few bytes, and everything that
// falls due at one whole second is written from one rendered page the moment it arrives.
// A connection whose client asks to keep it (HTTP/1.1 by default) goes back to reading the
// next request after each reply, up to kMaxRequestsPerConnection requests.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "HttpExchange.h"
#include "Options.h"
#include "TimePage.h"

namespace tidewell::timepage {

// The listening address could not be set up; what() is one line for the operator.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Lifts the soft limit on open files to the hard limit: every parked client holds a socket.
void RaiseOpenFileLimit();

class Server {
 public:
  // Binds and listens at once, so that a port of 0 is known before Run. Throws ListenError.
  explicit Server(const Options& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "127.0.0.1:8037" or "[::1]:8037": where the server really listens.
  std::string ListeningOn() const;

  // Serves until SIGINT or SIGTERM arrives.
  void Run();

 private:
  using Mono = std::chrono::steady_clock::time_point;

  enum class Phase {
    kReadingHead,  // waiting for a request head (the first or the next), under the header time-out
    kParked,       // waiting for its second; only a hang-up is watched
    kWriting,      // the socket took part of the reply; the rest goes when it is writable
    kLingering,    // last reply sent and our side shut: waiting for the client to close
  };

  struct Connection {
    int fd = -1;
    std::uint32_t watched = 0;  // the epoll events asked for now
    Phase phase = Phase::kReadingHead;
    std::string input;
    RoutedRequest request;
    std::shared_ptr<const Response> reply;
    std::size_t replyLength = 0;
    std::size_t written = 0;
    Second served{};
    unsigned answered = 0;  // requests answered or being answered on this connection
    bool keepOpen = false;  // the reply being sent is not the last on this connection
    std::optional<Mono> deadline;
  };

  // Set-up.
  void OpenListener();
  void OpenTimer();
  void OpenSignals();
  void Watch(int fd, std::uint32_t events, std::uint64_t tag);
  void Rewatch(Connection& connection, std::uint64_t id, std::uint32_t events);

  // The page of one second in both forms: for the last reply on a connection and for one
  // that keeps the connection open.
  struct Pages {
    std::shared_ptr<const Response> closing;
    std::shared_ptr<const Response> keepingOpen;
    const std::shared_ptr<const Response>& For(bool keepOpen) const {
      return keepOpen ? keepingOpen : closing;
    }
  };

  // The clock being served.
  Instant ServedNow() const;
  const Pages& PageFor(Second second);

  // Events.
  void HandleEvent(std::uint64_t tag, std::uint32_t events);
  void AcceptClients();
  void PauseAccepting();
  void ResumeAcceptingWhenDue(Mono now);
  void ReadHead(std::uint64_t id, Connection& connection);
  bool AnswerBufferedHead(std::uint64_t id, Connection& connection, std::size_t scannedUpTo);
  void AnswerHead(std::uint64_t id, Connection& connection, std::size_t headLength);
  void Park(std::uint64_t id, Connection& connection, Second answer);
  void OnTimer();
  void DispatchDue();
  void ArmTimerForEarliest();
  void ContinueWriting(std::uint64_t id, Connection& connection);
  void DrainLingering(std::uint64_t id, Connection& connection);

  // Replies.
  void StartReply(std::uint64_t id, Connection& connection, std::shared_ptr<const Response> reply,
                  Second served, bool* finished);
  void FinishReply(std::uint64_t id, Connection& connection);
  void AwaitNextRequest(std::uint64_t id, Connection& connection);
  void Log(Second served, const Connection& connection);
  void FlushLog();

  // Time-outs and closing.
  void SetDeadline(std::uint64_t id, Connection& connection, std::optional<Mono> deadline);
  void ExpireDeadlines(Mono now);
  int MillisecondsToNextWake(Mono now) const;
  void Close(std::uint64_t id);

  Options options_;
  int epoll_ = -1;
  int listener_ = -1;
  int timer_ = -1;
  int signals_ = -1;
  bool stopping_ = false;
  bool acceptPaused_ = false;
  Mono resumeAcceptAt_{};

  std::uint64_t nextId_;
  std::unordered_map<std::uint64_t, Connection> connections_;
  std::set<std::pair<Mono, std::uint64_t>> deadlines_;
  // Parked requests by the second they are answered at. A client that hangs up leaves its id
  // here; the dispatch skips ids that are no longer connections.
  std::map<Second, std::vector<std::uint64_t>> parked_;
  std::optional<Second> timerArmedFor_;

  // Rendered pages by second: the current one, the one before and, while clients are
  // parked, the next.
  std::map<Second, Pages> pages_;
  std::string pendingLog_;
};

}  // namespace tidewell::timepage
