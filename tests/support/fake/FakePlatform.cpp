#include "FakePlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tidewell {

void FakePlatform::SetZone(std::int32_t bias, std::int32_t standardBias, std::int32_t daylightBias,
                           std::int16_t standardMonth, std::int16_t standardDay,
                           std::int16_t daylightMonth, std::int16_t daylightDay,
                           std::int32_t standardChangeSecond, std::int32_t daylightChangeSecond) {
  zone = {bias, standardBias, daylightBias, standardMonth, standardDay, daylightMonth, daylightDay};
  zone.StandardChangeSecond = standardChangeSecond;
  zone.DaylightChangeSecond = daylightChangeSecond;
}

std::string FakePlatform::TimePage(const std::string& timeText) {
  return "<html><body><pre>\n<BR>Dec. 07," + timeText +
         "Universal Time\n<BR>Dec. 07, 06:20:33 AM EST\n</pre></body></html>\n";
}

void FakePlatform::ServeTime(const std::string& timeText) { page.body = TimePage(timeText); }

MonthDay FakePlatform::Today() {
  return {static_cast<std::int16_t>(clock.Month()), static_cast<std::int16_t>(clock.Day())};
}

bool FakePlatform::SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes) {
  clockSets.push_back(local.second);
  clockSetFractions.push_back(local.fraction);
  clockSetBiases.push_back(biasMinutes);
  if (refuseClockChange) return false;
  clock = local.second;
  return true;
}

std::string FakePlatform::TimeOfDayText(const DateTime& timeOfDay) {
  // A 12-hour format, so tests can tell the clock's text from the page's 24-hour entry.
  char text[32];
  const int hour12 = timeOfDay.Hour() % 12 == 0 ? 12 : timeOfDay.Hour() % 12;
  std::snprintf(text, sizeof text, "%d:%02d:%02d %s", hour12, timeOfDay.Minute(),
                timeOfDay.Second(), timeOfDay.Hour() < 12 ? "AM" : "PM");
  return text;
}

InternetHandle FakePlatform::InternetOpen(const std::string& agent) {
  agents.push_back(agent);
  const InternetHandle handle = nextHandle_++;
  sessions_[handle] = true;
  return handle;
}

InternetHandle FakePlatform::InternetOpenUrl(InternetHandle session, const std::string& address) {
  addressesOpened.push_back(address);
  if (session == 0 || !sessions_.contains(session) || !page.reachable) return 0;
  ++downloads;
  const InternetHandle handle = nextHandle_++;
  urls_[handle] = OpenUrl{};
  return handle;
}

std::uint32_t FakePlatform::InternetReadFile(InternetHandle url, char* buffer,
                                             std::uint32_t bytesToRead) {
  readsAsked.push_back(bytesToRead);
  std::uint32_t delivered = 0;
  if (auto found = urls_.find(url); found != urls_.end()) {
    OpenUrl& open = found->second;
    const std::size_t end = std::min(page.body.size(), page.failAfterBytes);
    std::size_t wanted = bytesToRead;
    if (open.readIndex < page.readSizes.size())
      wanted = std::min<std::size_t>(wanted, page.readSizes[open.readIndex]);
    const std::size_t available = end > open.position ? end - open.position : 0;
    delivered = static_cast<std::uint32_t>(std::min(wanted, available));
    std::memcpy(buffer, page.body.data() + open.position, delivered);
    open.position += delivered;
    ++open.readIndex;
  }
  readsDelivered.push_back(delivered);
  return delivered;
}

ReplyReport FakePlatform::InternetQueryReply(InternetHandle session, InternetHandle url) {
  repliesQueried.emplace_back(session, url);
  return {urls_.contains(url) ? replyTiming : std::nullopt, page.failure};
}

void FakePlatform::InternetCloseHandle(InternetHandle handle) {
  handlesClosed.push_back(handle);
  sessions_.erase(handle);
  urls_.erase(handle);
}

}  // namespace tidewell
