#pragma once

#include <chrono>
#include <cstddef>

namespace tidewell {

// How long and how much one download may take before it counts as failed. Our time-page server
// answers on the whole second, so a reply may be held up to a second before its first byte: the
// stall limit leaves ample room for that.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{10'000};
inline constexpr long kDefaultStallBytesPerSecond = 64;
inline constexpr std::chrono::seconds kDefaultStallTime{15};
inline constexpr std::chrono::milliseconds kDefaultOverallDeadline{30'000};
inline constexpr std::size_t kDefaultSizeCap = std::size_t{4} * 1024 * 1024;
inline constexpr long kDefaultMaxRedirects = 5;

struct DownloadLimits {
  std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout;
  // No byte for stallTime ends the body, and fails an address that never answers. libcurl also
  // cuts a transfer slower than stallBytesPerSecond for that long (it counts whole seconds, at
  // least 1).
  long stallBytesPerSecond = kDefaultStallBytesPerSecond;
  std::chrono::seconds stallTime = kDefaultStallTime;
  // From the opening of an address; no read waits beyond it.
  std::chrono::milliseconds overallDeadline = kDefaultOverallDeadline;
  std::size_t sizeCap = kDefaultSizeCap;  // bytes of body; the rest is never delivered
  long maxRedirects = kDefaultMaxRedirects;  // libcurl's; WinInet keeps its own
};

}  // namespace tidewell
