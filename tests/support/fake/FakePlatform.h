#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform.h"
#include "Runtime.h"

namespace tidewell {

// A scripted platform: a settable zone and clock, a page served from memory in chosen read
// sizes, and a record of everything the synchronisation asked for. Nothing touches the machine.
class FakePlatform : public Platform {
 public:
  // What the fake internet serves for the next address opened.
  struct Page {
    std::string body;
    std::vector<std::uint32_t> readSizes;  // sizes of successive reads; empty = as large as asked
    bool reachable = true;                 // false: opening the address fails (handle 0)
    std::size_t failAfterBytes = std::string::npos;  // a read failure once this much was read
    std::string failure;  // why the transfer failed, as the platform would say it
  };

  TimeZoneSettings zone;
  DateTime clock = DateTime::FromParts(2026, 12, 7, 12, 0, 0);
  bool refuseClockChange = false;
  Page page;
  // What the reply to an address that opens says about its timing.
  std::optional<ReplyTiming> replyTiming;

  // What happened.
  std::vector<DateTime> clockSets;             // the whole seconds asked for
  std::vector<Nanoseconds> clockSetFractions;  // and the fractions past them
  std::vector<std::int32_t> clockSetBiases;    // the bias each of clockSets was given with
  std::vector<std::string> agents;
  std::vector<std::string> addressesOpened;
  std::vector<std::uint32_t> readsAsked;
  std::vector<std::uint32_t> readsDelivered;
  std::vector<InternetHandle> handlesClosed;
  int downloads = 0;

  // Sets the zone's transition days and biases in one go; the changes happen at local midnight
  // unless their seconds are given.
  void SetZone(std::int32_t bias, std::int32_t standardBias, std::int32_t daylightBias,
               std::int16_t standardMonth, std::int16_t standardDay, std::int16_t daylightMonth,
               std::int16_t daylightDay, std::int32_t standardChangeSecond = 0,
               std::int32_t daylightChangeSecond = 0);
  // A page whose first "Universal" is preceded by ",<timeText>"; ServeTime serves it.
  static std::string TimePage(const std::string& timeText);
  void ServeTime(const std::string& timeText);

  TimeZoneSettings ReadTimeZoneSettings() override { return zone; }
  MonthDay Today() override;
  DateTime ReadLocalClock() override { return clock; }
  bool SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes) override;
  std::string TimeOfDayText(const DateTime& timeOfDay) override;

  InternetHandle InternetOpen(const std::string& agent) override;
  InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) override;
  std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                 std::uint32_t bytesToRead) override;
  void InternetCloseHandle(InternetHandle handle) override;
  ReplyReport InternetQueryReply(InternetHandle session, InternetHandle url) override;
  std::vector<std::pair<InternetHandle, InternetHandle>> repliesQueried;  // session, url

 private:
  struct OpenUrl {
    std::size_t position = 0;
    std::size_t readIndex = 0;
  };
  InternetHandle nextHandle_ = 100;
  std::map<InternetHandle, bool> sessions_;
  std::map<InternetHandle, OpenUrl> urls_;
};

// A runtime that records what the program showed and how it ended.
class FakeRuntime : public Runtime {
 public:
  std::vector<std::string> messages;
  std::vector<RuntimeError> errorsReported;
  int endCalls = 0;

  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void EndProgram() override { ++endCalls; }
  void ReportRuntimeError(const RuntimeError& error) override { errorsReported.push_back(error); }
};

// A program's window object (Form1, Clock) on the fake platform and runtime. Deliver runs one of
// its event handlers as the runtime delivers events.
template <class Window>
class FakeProgram {
 protected:
  template <class Handler>
  void Deliver(Handler&& handler) {
    DeliverEvent(runtime, std::forward<Handler>(handler));
  }

  FakePlatform platform;
  FakeRuntime runtime;
  Window window{platform, runtime};
};

}  // namespace tidewell
