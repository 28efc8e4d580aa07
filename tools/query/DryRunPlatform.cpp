#include "DryRunPlatform.h"

#include <algorithm>
#include <iterator>

namespace tidewell {

DateTime DryRunPlatform::ReadLocalClock() {
  if (!request_) return inner_.ReadLocalClock();
  const auto elapsed = std::chrono::steady_clock::now() - request_->steadyAtRequest;
  const auto elapsedSeconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  return DateTime::FromSerialSeconds(request_->requested.SerialSeconds() + elapsedSeconds);
}

bool DryRunPlatform::SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes,
                                   Nanoseconds /*errorBound*/) {
  request_ = Request{inner_.ReadLocalClock(),
                     local.second,
                     local.fraction,
                     biasMinutes,
                     std::chrono::system_clock::now(),
                     std::chrono::steady_clock::now(),
                     reply_};
  return true;
}

ReplyReport DryRunPlatform::InternetQueryReply(InternetHandle session, InternetHandle url) {
  ReplyReport report = inner_.InternetQueryReply(session, url);
  reply_ = report.timing;
  failure_ = report.failure;
  return report;
}

InternetHandle DryRunPlatform::InternetOpenUrl(InternetHandle session, const std::string& address) {
  const std::string target = hostOverride_.empty() ? address : WithHost(address, hostOverride_);
  return inner_.InternetOpenUrl(session, target);
}

std::string DryRunPlatform::WithHost(const std::string& address, const std::string& host) {
  constexpr std::string_view kSchemes[] = {"http://", "https://"};
  for (const std::string_view scheme : kSchemes) {
    if (!address.starts_with(scheme)) continue;
    const auto pathStart = address.find('/', scheme.size());
    const std::string path = pathStart == std::string::npos ? "" : address.substr(pathStart);
    // A host given with its scheme brings it along.
    const bool schemed = std::any_of(std::begin(kSchemes), std::end(kSchemes),
                                     [&](std::string_view s) { return host.starts_with(s); });
    return (schemed ? "" : std::string(scheme)) + host + path;
  }
  return address;
}

}  // namespace tidewell
