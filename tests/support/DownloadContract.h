#pragma once

// Runs the page download through a platform's internet functions, recording every call, and
// checks the outcome against a case of the download contract (DownloadCases.h).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DownloadCases.h"
#include "Platform.h"
#include "TimeCore.h"

namespace tidewell::test {

inline constexpr std::uint32_t kDownloadChunk = 2048;  // what the page download asks each read
inline constexpr const char* kDownloadAgent = "VB Project";

// What one download did, as the platform saw it.
struct DownloadRecord {
  std::string agent;
  InternetHandle session = 0;
  InternetHandle url = 0;
  std::vector<std::uint32_t> asked;
  std::vector<std::uint32_t> delivered;
  std::vector<InternetHandle> closed;
  std::string text;                   // what the download returned
  std::optional<ReplyTiming> timing;  // and what it said of the reply
  std::string failure;
  std::chrono::steady_clock::duration took{};
};

// Passes the internet functions on to the platform under test and records them; the clock is
// never set through it.
class RecordingPlatform : public Platform {
 public:
  RecordingPlatform(Platform& inner, DownloadRecord& record) : inner_(inner), record_(record) {}

  TimeZoneSettings ReadTimeZoneSettings() override { return inner_.ReadTimeZoneSettings(); }
  MonthDay Today() override { return inner_.Today(); }
  DateTime ReadLocalClock() override { return inner_.ReadLocalClock(); }
  bool SetLocalClock(const PreciseTime&, std::int32_t) override { return false; }
  std::string TimeOfDayText(const DateTime& time) override { return inner_.TimeOfDayText(time); }

  InternetHandle InternetOpen(const std::string& agent) override {
    record_.agent = agent;
    record_.session = inner_.InternetOpen(agent);
    return record_.session;
  }
  InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) override {
    record_.url = inner_.InternetOpenUrl(session, address);
    return record_.url;
  }
  std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                 std::uint32_t bytesToRead) override {
    record_.asked.push_back(bytesToRead);
    const std::uint32_t delivered = inner_.InternetReadFile(url, buffer, bytesToRead);
    record_.delivered.push_back(delivered);
    return delivered;
  }
  void InternetCloseHandle(InternetHandle handle) override {
    record_.closed.push_back(handle);
    inner_.InternetCloseHandle(handle);
  }
  ReplyReport InternetQueryReply(InternetHandle session, InternetHandle url) override {
    return inner_.InternetQueryReply(session, url);
  }

 private:
  Platform& inner_;
  DownloadRecord& record_;
};

// The synchronisation's own download routine, reachable from a test.
class Downloader : public TimeCore {
 public:
  using TimeCore::GetUrlText;
  using TimeCore::TimeCore;
};

// Downloads `address` with the synchronisation's own download routine, through `platform`.
inline DownloadRecord DownloadThrough(Platform& platform, const std::string& address) {
  DownloadRecord record;
  RecordingPlatform recording(platform, record);
  Downloader downloader(recording);
  const auto start = std::chrono::steady_clock::now();
  UrlText download = downloader.GetUrlText(address);
  record.took = std::chrono::steady_clock::now() - start;
  record.text = std::move(download.text);
  record.timing = download.timing;
  record.failure = std::move(download.failure);
  return record;
}

// Every read asked for the download's 2048 bytes, none delivered more, the last delivered
// nothing and none before it did; the handles were closed address first, then the session.
inline void ExpectWellFormedReads(const DownloadRecord& record) {
  EXPECT_EQ(record.agent, kDownloadAgent);
  EXPECT_NE(record.session, 0u);
  ASSERT_FALSE(record.delivered.empty());
  for (std::uint32_t asked : record.asked) EXPECT_EQ(asked, kDownloadChunk);
  for (std::uint32_t delivered : record.delivered) EXPECT_LE(delivered, kDownloadChunk);
  EXPECT_EQ(record.delivered.back(), 0u) << "the loop must end on a read of 0";
  for (std::size_t i = 0; i + 1 < record.delivered.size(); ++i) {
    EXPECT_GT(record.delivered[i], 0u) << "read " << i << " ended the body early";
  }
  std::vector<InternetHandle> expectedClosed;
  if (record.url != 0) expectedClosed.push_back(record.url);
  if (record.session != 0) expectedClosed.push_back(record.session);
  EXPECT_EQ(record.closed, expectedClosed);
}

// The case's page, downloaded through `platform` from the scripted server at `base`
// ("http://127.0.0.1:PORT"), meets the contract.
inline void ExpectContractHeld(Platform& platform, const std::string& base,
                               const DownloadCase& downloadCase) {
  const std::string address = downloadCase.delivery == Delivery::kNoServer
                                  ? std::string("http://127.0.0.1:1/") + downloadCase.name
                                  : base + "/" + downloadCase.name;
  const DownloadRecord record = DownloadThrough(platform, address);

  EXPECT_EQ(record.url != 0, downloadCase.opens);
  if (!downloadCase.opens) {
    EXPECT_EQ(record.delivered, std::vector<std::uint32_t>{0});
  }
  const std::string& text = record.text;
  EXPECT_GE(text.size(), downloadCase.leastBody);
  EXPECT_LE(text.size(), downloadCase.mostBody);
  EXPECT_TRUE(text == PatternBody(downloadCase.bodySize).substr(0, text.size()))
      << "the body came back changed";
  EXPECT_GE(record.took, downloadCase.shortest);
  EXPECT_LE(record.took, downloadCase.longest);
  ExpectWellFormedReads(record);
}

}  // namespace tidewell::test
