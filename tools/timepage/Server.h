#pragma once

// The event loop of tidewell-timepage: one thread, one epoll set, the listening socket and every
// client. Connections that wait for their second are parked at no cost beyond a socket and a few
// bytes, and everything that falls due at one whole second is written from one rendered page the
// moment it arrives. A connection whose client asks to keep it (HTTP/1.1 by default) goes back to
// reading the next request after each reply, up to kMaxRequestsPerConnection requests.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "Alignment.h"
#include "ClockStatus.h"
#include "Connection.h"
#include "HttpExchange.h"
#include "Options.h"

namespace tidewell::timepage {

// The server could not be set up (the address cannot be used, the system gives no descriptor
// for the loop); what() is one line for the operator.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Server {
 public:
  // Binds and listens at once, so that a port of 0 is known before Run; throws ListenError. It
  // stops once `stop` becomes readable (main passes a signalfd of SIGINT and SIGTERM), serves
  // `clock` or this machine's shifted by the options' offset, and asks `status`, or the kernel,
  // whether the clock is synchronised. An unsynchronised clock is reported as the server starts.
  Server(const Options& options, UniqueFd stop, std::unique_ptr<ServedClock> clock = nullptr,
         std::unique_ptr<ClockStatus> status = nullptr);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "127.0.0.1:8037" or "[::1]:8037": where the server really listens.
  std::string ListeningOn() const;

  // Serves until `stop` becomes readable: true then, false when waiting for events failed
  // (reported on stderr). A failure while serving one client costs that client only: it is
  // reported and the loop goes on.
  bool Run();

 private:
  Second SecondAt(Instant now) const;
  // One reply for each route, second and connection ending, shared by every request it answers.
  std::shared_ptr<const Response> ReplyFor(Route route, Second second, AfterReply after);
  // Whether the clock may be served now (always, without --require-synchronised); a change of
  // that state is reported once on stderr.
  bool Vouched();

  bool Watch(int operation, int fd, std::uint32_t events, std::uint64_t tag);
  bool Rewatch(std::uint64_t id, Connection& connection, std::uint32_t events);
  void SetDeadline(std::uint64_t id, Connection& connection, std::optional<Mono> deadline);

  // Runs one step of the loop for `id` (a connection, or one of the server's own tags); a
  // failure in it is reported and, when it came from a connection, drops only that one.
  template <typename Step>
  void Guarded(std::uint64_t id, Step&& step);
  void HandleEvent(std::uint64_t tag, std::uint32_t events);
  void HandleConnection(std::uint64_t id, Connection& connection, std::uint32_t events);
  void AcceptClients();
  void ResumeAcceptingWhenDue(Mono now);
  bool DropLongestWaiting(Mono now);

  void Answer(std::uint64_t id, Connection& connection);
  void Park(std::uint64_t id, Connection& connection, Second answer);
  void OnTimer();
  void DispatchDue();
  void NoteTimerArmed(bool armed);

  bool StartReply(std::uint64_t id, Connection& connection, std::shared_ptr<const Response> reply,
                  Second served);
  void FinishReply(std::uint64_t id, Connection& connection);

  int MillisecondsToNextWake(Mono now) const;
  void Close(std::uint64_t id);

  Options options_;
  std::unique_ptr<ServedClock> clock_;
  std::unique_ptr<ClockStatus> status_;
  bool unvouched_ = false;  // the clock was not synchronised when last read
  UniqueFd epoll_;
  UniqueFd listener_;
  std::optional<Mono> acceptPausedUntil_;  // accepting stopped for want of descriptors
  UniqueFd stop_;
  bool stopping_ = false;

  std::uint64_t nextId_;
  std::unordered_map<std::uint64_t, Connection> connections_;
  // The connections' time-outs, earliest first. Each connection holds its own too, so that
  // changing it finds the old entry without a search.
  std::set<std::pair<Mono, std::uint64_t>> deadlines_;
  ParkedRequests parked_;
  bool timerFailed_ = false;  // arming the boundary timer failed: the loop's time-out stands in
  // The replies of the current second, the one before and, while clients are parked, the next.
  std::map<std::tuple<Second, Route, AfterReply>, std::shared_ptr<const Response>> replies_;
  std::string pendingLog_;
};

}  // namespace tidewell::timepage
