#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "Platform.h"

namespace tidewell {

// Wraps a platform so that a synchronisation runs for real up to the clock: the page is
// downloaded and the time computed, but setting the clock only records the request. Reading the
// clock back then shows the recorded time as if it had been set, running on from that moment.
// The page may also be fetched from another host than the one built in.
class DryRunPlatform : public Platform {
 public:
  explicit DryRunPlatform(Platform& inner, std::string hostOverride = {})
      : inner_(inner), hostOverride_(std::move(hostOverride)) {}

  // The clock as it read when the change was asked for, and the time that was asked for.
  struct Request {
    DateTime clockAtRequest;
    DateTime requested;
    std::chrono::nanoseconds fraction{};                    // past the requested second
    std::int32_t biasMinutes = 0;                           // UTC = requested + biasMinutes
    std::chrono::system_clock::time_point systemAtRequest;  // to measure the offset finely
    std::chrono::steady_clock::time_point steadyAtRequest;
    // The figures of the page's reply, when it carried them: what brought the page's whole
    // second up to the requested time.
    std::optional<ReplyTiming> reply;
  };
  const std::optional<Request>& LastRequest() const { return request_; }
  // Why the last download failed, as the platform says it ("" when it did not, or says nothing).
  const std::string& LastFailure() const { return failure_; }

  TimeZoneSettings ReadTimeZoneSettings() override { return inner_.ReadTimeZoneSettings(); }
  MonthDay Today() override { return inner_.Today(); }
  DateTime ReadLocalClock() override;
  bool SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes,
                     Nanoseconds errorBound) override;
  std::string TimeOfDayText(const DateTime& timeOfDay) override {
    return inner_.TimeOfDayText(timeOfDay);
  }

  InternetHandle InternetOpen(const std::string& agent) override {
    return inner_.InternetOpen(agent);
  }
  InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) override;
  std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                 std::uint32_t bytesToRead) override {
    return inner_.InternetReadFile(url, buffer, bytesToRead);
  }
  void InternetCloseHandle(InternetHandle handle) override { inner_.InternetCloseHandle(handle); }
  // Keeps the reply's timing that the synchronisation is told, to show it with the request.
  ReplyReport InternetQueryReply(InternetHandle session, InternetHandle url) override;

  // "http://HOST/path" or "https://HOST/path" with HOST replaced by `host`, the scheme kept
  // unless `host` brings its own ("https://HOST[:PORT]"); other addresses are returned unchanged.
  static std::string WithHost(const std::string& address, const std::string& host);

 private:
  Platform& inner_;
  std::string hostOverride_;
  std::optional<Request> request_;
  std::optional<ReplyTiming> reply_;  // of the page downloaded last
  std::string failure_;
};

}  // namespace tidewell
