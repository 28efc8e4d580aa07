#pragma once

// The event loop of tidewell-timepage: one thread, one epoll set, the listener and every client.
// A request held for its second costs a socket and a few bytes, and all that fall due at one
// second are written from one rendered page the moment it comes.

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
#include <vector>

#include "Alignment.h"
#include "ClockStatus.h"
#include "Connection.h"
#include "Options.h"

namespace tidewell::timepage {

class Server {
 public:
  // Binds and listens at once, so that a port of 0 is known before Run; throws runtime_error.
  // `stop` ends Run once readable. `clock` and `status` default to this machine's.
  Server(const Options& options, UniqueFd stop, std::unique_ptr<ServedClock> clock = nullptr,
         std::unique_ptr<ClockStatus> status = nullptr);

  // "127.0.0.1:8037" or "[::1]:8037"
  std::string ListeningOn() const;

  // False when waiting for events failed. A failure with one client costs that client only.
  bool Run();

 private:
  Second SecondAt(Instant now) const;
  std::shared_ptr<const Response> ReplyFor(Route route, Second second, AfterReply after);
  bool Vouched();

  bool Watch(int operation, int fd, std::uint32_t events, std::uint64_t tag);
  bool Rewatch(std::uint64_t id, Connection& connection, std::uint32_t events);
  void SetDeadline(std::uint64_t id, Connection& connection, std::optional<Mono> deadline);
  void Guarded(std::uint64_t id, auto&& step);

  void HandleConnection(std::uint64_t id, Connection& connection, std::uint32_t events);
  void AcceptClients();
  void ResumeAcceptingWhenDue(Mono now);
  bool DropLongestWaiting(Mono now);

  void Answer(std::uint64_t id, Connection& connection);
  void Park(std::uint64_t id, Connection& connection, Second answer);
  void OnTimer();
  void DispatchDue();
  void ArmTimer();
  bool StartReply(std::uint64_t id, Connection& connection, Route route, Second served);
  bool Wrote(std::uint64_t id, Connection& connection, WriteState state);
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

  std::uint64_t nextId_;  // never reused, so a stale event can never hit a new connection
  std::unordered_map<std::uint64_t, Connection> connections_;
  // Each connection holds its own time-out too, so that changing it needs no search here.
  std::set<std::pair<Mono, std::uint64_t>> deadlines_;
  // Ids by their second, as they came; the dispatch skips those no longer connections.
  std::map<Second, std::vector<std::uint64_t>> parked_;
  UniqueFd timer_;  // a timerfd on this machine's clock, for the earliest second parked
  std::optional<Second> armedFor_;
  bool timerFailed_ = false;  // arming the timer failed: the loop's time-out stands in
  // Shared by the requests of a second; kept for this one, the one before and the next.
  std::map<std::tuple<Second, Route, AfterReply>, std::shared_ptr<const Response>> replies_;
  std::string pendingLog_;
};

}  // namespace tidewell::timepage
