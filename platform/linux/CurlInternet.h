#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "DownloadLimits.h"
#include "Platform.h"

namespace tidewell {

// The internet functions on libcurl. A session keeps the user-agent name; opening an address
// runs one whole GET into memory under the limits, and the reads hand the body out from there.
//
// When no reply comes at all (nothing listens, the host is unknown, the connection or the wait
// times out), the open fails and returns 0, as the Windows functions do. Any later failure
// (reset, stall, deadline, size cap) ends the body: the reads deliver what had arrived, then 0.
//
// Each request asks a time-page server to answer at once ("Prefer: no-hold"), and the exchange
// is timed from the request leaving on the open connection to its reply arriving, so the page's
// figures can bring its second up to date.
class CurlInternet {
 public:
  explicit CurlInternet(const DownloadLimits& limits = {});

  InternetHandle OpenSession(const std::string& agent);
  InternetHandle OpenUrl(InternetHandle session, const std::string& address);
  std::uint32_t Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead);
  // Closes either kind of handle; closing a session also closes the addresses opened on it.
  void Close(InternetHandle handle);
  // The reply to `url`, or (for a `url` of 0) why the last address opened on `session` failed.
  ReplyReport Reply(InternetHandle session, InternetHandle url) const;

 private:
  struct Session {
    std::string agent;
    std::string failure;  // of the last address that could not be opened on it
  };
  struct Transfer {
    InternetHandle session = 0;
    std::string body;
    std::size_t readPosition = 0;
    ReplyReport reply;
  };

  DownloadLimits limits_;
  InternetHandle lastHandle_ = 0;
  std::map<InternetHandle, Session> sessions_;
  std::map<InternetHandle, Transfer> transfers_;
};

}  // namespace tidewell
