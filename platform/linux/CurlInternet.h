#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "DownloadLimits.h"
#include "Platform.h"
#include "ReplyTiming.h"

namespace tidewell {

// The internet functions on libcurl. A session is a multi handle with the user-agent name; an
// address is one GET on it. Reads stream: each drives the transfer only until some body is at
// hand, and the transfer is paused while delivered-but-unread body is waiting, so at most one
// receive chunk of libcurl (16 KiB) is ever held.
//
// Opening an address waits for the reply to begin. When no reply comes at all (nothing listens,
// the host is unknown, the connection or the wait times out), the open fails and returns 0, as
// the Windows functions do. Any later failure (reset, stall, deadline, size cap) ends the body:
// the reads deliver what had arrived and then 0.
//
// Each request asks a time-page server to answer at once ("Prefer: no-hold"), and the exchange
// is timed from the request leaving on the open connection to its reply arriving, so the page's
// figures can bring its second up to date.
class CurlInternet {
 public:
  explicit CurlInternet(const DownloadLimits& limits = {});
  ~CurlInternet();
  CurlInternet(const CurlInternet&) = delete;
  CurlInternet& operator=(const CurlInternet&) = delete;

  InternetHandle OpenSession(const std::string& agent);
  InternetHandle OpenUrl(InternetHandle session, const std::string& address);
  std::uint32_t Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead);
  // Closes either kind of handle; closing a session also closes the addresses opened on it.
  void Close(InternetHandle handle);
  // Body of `url` that arrived and waits to be read: what the streaming keeps in memory.
  std::size_t HeldBytes(InternetHandle url);
  // The timing of the reply to the address opened last, once its head has come, when the reply
  // carried sound Server-Timing figures; empty otherwise (no reply, another server, an old one).
  const std::optional<ReplyTiming>& LastReplyTiming() const { return lastTiming_; }

 private:
  struct Session;
  struct Transfer;

  Transfer* FindTransfer(InternetHandle handle);
  void CloseTransfer(InternetHandle handle);
  void DriveUntilBodyOrEnd(Transfer& transfer, bool stopAtReplyStart);

  DownloadLimits limits_;
  InternetHandle lastHandle_ = 0;
  std::map<InternetHandle, std::unique_ptr<Session>> sessions_;
  std::map<InternetHandle, std::unique_ptr<Transfer>> transfers_;
  std::optional<ReplyTiming> lastTiming_;
};

}  // namespace tidewell
