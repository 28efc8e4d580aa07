#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "DownloadLimits.h"
#include "Platform.h"

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
};

}  // namespace tidewell
