#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Platform.h"

namespace tidewell {

// How long and how much one download may take before it counts as failed. Our time-page server
// answers on the whole second, so a reply may be held up to a second before its first byte: the
// stall limit leaves ample room for that.
struct InternetLimits {
  std::chrono::milliseconds connectTimeout{10'000};
  // No byte for this long ends the body (and fails an address that never answers).
  std::chrono::milliseconds stallTimeout{15'000};
  // From the opening of an address; checked before every read, and no read waits beyond it.
  std::chrono::milliseconds overallDeadline{30'000};
  std::size_t sizeCap = std::size_t{4} * 1024 * 1024;  // bytes of body; the rest is never read
};

// The Windows Internet functions of wininet.dll, each bound by name at its first call, with the
// limits above laid over them. A read that hits a limit, fails or finds the end of the body
// delivers 0, and so does every read after it.
class WinInet {
 public:
  explicit WinInet(const InternetLimits& limits = {}, std::string libraryName = "wininet.dll");
  ~WinInet();
  WinInet(const WinInet&) = delete;
  WinInet& operator=(const WinInet&) = delete;

  // InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, no proxy, no bypass list, 0).
  InternetHandle OpenSession(const std::string& agent);
  // InternetOpenUrlA(session, address, no headers, INTERNET_FLAG_RELOAD, 0), given up at the
  // overall deadline: an address still waiting for its reply then counts as failed (0).
  InternetHandle OpenUrl(InternetHandle session, const std::string& address);
  // InternetReadFile of at most `bytesToRead` bytes, of those that have arrived (waiting for
  // some with InternetQueryDataAvailable); the byte count it delivered.
  std::uint32_t Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead);
  void Close(InternetHandle handle);

 private:
  struct EntryPoints;
  struct Transfer {
    std::chrono::steady_clock::time_point deadline;
    std::size_t delivered = 0;
    bool ended = false;
  };

  InternetLimits limits_;
  std::unique_ptr<EntryPoints> entryPoints_;
  std::map<InternetHandle, Transfer> transfers_;
};

}  // namespace tidewell
