#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "DownloadLimits.h"
#include "Platform.h"

namespace tidewell {

// True when the process gained privilege at its start (set-user-ID or set-group-ID, or a file
// capability): the kernel then marks it secure (AT_SECURE).
bool RunsWithMorePrivilegeThanItsUser();

// The internet functions on libcurl. Opening an address runs one whole GET into memory under
// the limits; the reads hand the body out from there. When no reply comes at all (nothing
// listens, the host is unknown, the connection or the wait times out) the open fails with 0, as
// the Windows functions do; a later failure (reset, stall, deadline, size cap) ends the body
// where it was. Each request asks a time-page server to answer at once ("Prefer: no-hold") and
// is timed, so the page's figures can bring its second up to date.
//
// A process that runs with more privilege than the user who started it (`privileged`) takes no
// proxy from that user's environment: the request goes straight to the time page's host.
//
// An https page's certificate and host name are always checked, against the CA certificates in
// `caFile` or, when it is empty, the system's; it follows redirects to https addresses only.
class CurlInternet {
 public:
  explicit CurlInternet(const DownloadLimits& limits = {},
                        bool privileged = RunsWithMorePrivilegeThanItsUser(),
                        std::string caFile = TIDEWELL_CA_FILE);

  InternetHandle OpenSession(const std::string& agent);
  InternetHandle OpenUrl(InternetHandle session, const std::string& address);
  std::uint32_t Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead);
  // Closes either kind of handle; closing a session also closes the addresses opened on it.
  void Close(InternetHandle handle);
  // The reply to `url`, or (for a `url` of 0) why the last address opened on `session` failed.
  ReplyReport Reply(InternetHandle session, InternetHandle url) const;

 private:
  // A session (`session` 0; `reply` says why its last address could not be opened), or an
  // address opened on `session` with its body.
  struct Handle {
    InternetHandle session = 0;
    std::string agent;
    std::string body;
    std::size_t readPosition = 0;
    ReplyReport reply;
  };

  DownloadLimits limits_;
  bool privileged_;
  std::string caFile_;
  InternetHandle lastHandle_ = 0;
  std::map<InternetHandle, Handle> handles_;
};

}  // namespace tidewell
