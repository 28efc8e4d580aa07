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

// The Windows Internet functions of wininet.dll, each bound by name at its first call, with the
// limits above laid over them. A read that hits a limit, fails or finds the end of the body
// delivers 0, and so does every read after it.
//
// The request carries no headers of the program's own, so a time-page server holds it to its
// next whole second and says so in its figures. The exchange is timed by WinINet's status
// callback, from the request having been sent on the open connection to the response having
// been received, and the reply's Server-Timing header is read, so that the page's second can be
// brought up to date. Where the callback reports neither, the steady clock around the whole
// opening stands in (connecting included, so the delay comes out long).
class WinInet {
 public:
  explicit WinInet(const DownloadLimits& limits = {}, std::string libraryName = "wininet.dll");
  ~WinInet();
  WinInet(const WinInet&) = delete;
  WinInet& operator=(const WinInet&) = delete;

  // InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, no proxy, no bypass list, 0).
  InternetHandle OpenSession(const std::string& agent);
  // InternetOpenUrlA(session, address, no headers, INTERNET_FLAG_RELOAD, context), the
  // context naming the exchange's timing for the status callback; given up at the overall
  // deadline: an address still waiting for its reply then counts as failed (0).
  InternetHandle OpenUrl(InternetHandle session, const std::string& address);
  // InternetReadFile of at most `bytesToRead` bytes, of those that have arrived (waiting for
  // some with InternetQueryDataAvailable); the byte count it delivered.
  std::uint32_t Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead);
  void Close(InternetHandle handle);
  // The reply to `url`: its timing, when it carried sound Server-Timing figures, and why its
  // body ended early. For a `url` of 0, why the last address opened on `session` failed.
  ReplyReport Reply(InternetHandle session, InternetHandle url) const;

  // What the status callback saw of one exchange: the last request sent, and the first
  // response received after it. Shared by the opening's thread and then its transfer, so that
  // it outlives every callback that names it.
  struct ExchangeStamps {
    std::optional<SteadyTime> requestSent;
    std::optional<SteadyTime> responseReceived;
  };

 private:
  struct EntryPoints;
  struct Transfer {
    std::chrono::steady_clock::time_point deadline;
    std::size_t delivered = 0;
    bool ended = false;
    std::shared_ptr<ExchangeStamps> stamps;
    ReplyReport reply;
  };

  // The reply's Server-Timing headers, joined by commas (empty when there are none).
  std::string ServerTimingOf(InternetHandle url);

  DownloadLimits limits_;
  std::map<InternetHandle, std::string> openFailures_;  // by session
  std::unique_ptr<EntryPoints> entryPoints_;
  std::map<InternetHandle, Transfer> transfers_;
};

}  // namespace tidewell
