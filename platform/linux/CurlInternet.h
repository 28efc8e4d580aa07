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

// The internet functions on libcurl. Opening an address runs one whole timed GET into memory
// under the limits, asking a time-page server to answer at once; the reads hand the body out.
// With no reply at all the open fails (0), as on Windows; a later failure (reset, stall, size
// cap...) ends the body there. A `privileged` process takes no proxy from its caller. An https
// page's certificate and host are checked (against `caFile`, or the system's CAs), and it is
// followed to https addresses only.
class CurlInternet {
 public:
  explicit CurlInternet(const DownloadLimits& limits = {},
                        bool privileged = RunsWithMorePrivilegeThanItsUser(),
                        std::string caFile = TIDEWELL_CA_FILE);

  InternetHandle OpenSession(const std::string& agent);
  InternetHandle OpenUrl(InternetHandle session, const std::string& address);
  std::uint32_t Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead);
  void Close(InternetHandle handle);  // a session's addresses close with it
  // The reply to `url`, or (for a `url` of 0) why the last address opened on `session` failed.
  ReplyReport Reply(InternetHandle session, InternetHandle url) const;

 private:
  struct Handle {  // a session (`session` 0; `reply`: its last failed open), or an address
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
