#pragma once

// The event loop of tidewell-timepage: one thread and one epoll set. Connections that wait for
// their second are parked at no cost beyond a socket and a few bytes, and everything that
// falls due at one whole second is written from one rendered page the moment it arrives.
// A connection whose client asks to keep it (HTTP/1.1 by default) goes back to reading the
// next request after each reply, up to kMaxRequestsPerConnection requests.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "Address.h"
#include "Connection.h"
#include "Deadlines.h"
#include "EventSet.h"
#include "HttpExchange.h"
#include "Listener.h"
#include "Options.h"
#include "PageCache.h"
#include "ParkedRequests.h"
#include "ServedClock.h"
#include "TimePage.h"
#include "UniqueFd.h"

namespace tidewell::timepage {

class Server {
 public:
  // Binds and listens at once, so that a port of 0 is known before Run. Throws ListenError.
  // The server stops once `stop` becomes readable (main passes a signalfd of SIGINT and
  // SIGTERM). It serves `clock`, or this machine's clock shifted by the options' offset.
  Server(const Options& options, UniqueFd stop, std::unique_ptr<ServedClock> clock = nullptr);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "127.0.0.1:8037" or "[::1]:8037": where the server really listens.
  std::string ListeningOn() const { return listener_.Endpoint(); }

  // Serves until `stop` becomes readable: true then, false when waiting for events failed
  // (reported on stderr). A failure while serving one client costs that client only: it is
  // reported and the loop goes on.
  bool Run();

 private:
  // The event set.
  bool Rewatch(std::uint64_t id, Connection& connection, std::uint32_t events);

  // The clock being served.
  Instant ServedNow() const;

  // Events.
  void HandleEvent(std::uint64_t tag, std::uint32_t events);
  // Runs one step of the loop for `id` (a connection, or one of the server's own tags); a
  // failure in it is reported and, when it came from a connection, drops only that one.
  template <typename Step>
  void Guarded(std::uint64_t id, Step&& step);
  void HandleConnection(std::uint64_t id, Connection& connection, std::uint32_t events);
  void AcceptClients();
  bool DropLongestWaiting(Mono now);
  void ReadRequest(std::uint64_t id, Connection& connection);
  void Answer(std::uint64_t id, Connection& connection);
  void Park(std::uint64_t id, Connection& connection, Second answer);
  void OnTimer();
  void DispatchDue();
  void ArmTimer();

  // Replies.
  bool StartReply(std::uint64_t id, Connection& connection, std::shared_ptr<const Response> reply,
                  Second served);
  void FinishReply(std::uint64_t id, Connection& connection);
  void AwaitNextRequest(std::uint64_t id, Connection& connection);
  void FlushLog();

  // Time-outs and closing.
  void ExpireDeadlines(Mono now);
  int MillisecondsToNextWake(Mono now) const;
  void Close(std::uint64_t id);

  Options options_;
  std::unique_ptr<ServedClock> clock_;
  EventSet events_;
  Listener listener_;
  UniqueFd stop_;
  bool stopping_ = false;

  std::uint64_t nextId_;
  std::unordered_map<std::uint64_t, Connection> connections_;
  Deadlines deadlines_;
  ParkedRequests parked_;
  // The current second's page, the one before and, while clients are parked, the next.
  PageCache pages_;
  std::string pendingLog_;
  bool timerFailed_ = false;  // arming the boundary timer failed: the loop's time-out stands in
};

}  // namespace tidewell::timepage
