#include <gtest/gtest.h>

#include <string>

#include "FakePlatform.h"
#include "TimeCore.h"

namespace tidewell {
namespace {

class UrlTextProbe : public TimeCore {
 public:
  using TimeCore::GetUrlText;
  using TimeCore::TimeCore;
};

std::string Bytes(std::size_t count) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>('a' + i % 26));
  return bytes;
}

struct DownloadCase {
  const char* name;
  std::size_t bodySize;
  std::vector<std::uint32_t> readSizes;
  std::vector<std::uint32_t> expectedReads;
};

void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }

class Download : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(Download, ReturnsTheWholeBodyInOrder) {
  const DownloadCase& c = GetParam();
  FakePlatform platform;
  platform.page.body = Bytes(c.bodySize);
  platform.page.readSizes = c.readSizes;
  UrlTextProbe core(platform);

  EXPECT_EQ(core.GetUrlText("http://host/cgi-bin/timer.pl").text, platform.page.body);
  EXPECT_EQ(platform.readsDelivered, c.expectedReads);
  for (std::uint32_t asked : platform.readsAsked) EXPECT_EQ(asked, 2048u);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, Download,
    ::testing::Values(
        DownloadCase{"Empty", 0, {}, {0}}, DownloadCase{"ExactlyOneChunk", 2048, {}, {2048, 0}},
        DownloadCase{"ThreeChunks", 5000, {}, {2048, 2048, 904, 0}},
        DownloadCase{"TransportSplit", 5000, {100, 2048, 7, 2048}, {100, 2048, 7, 2048, 797, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GetUrlTextTest, OpensWithTheProgramsAgentAndClosesAddressThenSession) {
  FakePlatform platform;
  platform.page.body = "hello";
  UrlTextProbe core(platform);
  core.GetUrlText("http://host/cgi-bin/timer.pl");

  EXPECT_EQ(platform.agents, std::vector<std::string>{"VB Project"});
  EXPECT_EQ(platform.addressesOpened, std::vector<std::string>{"http://host/cgi-bin/timer.pl"});
  ASSERT_EQ(platform.handlesClosed.size(), 2u);
  EXPECT_GT(platform.handlesClosed[0], platform.handlesClosed[1]) << "address handle first";
}

TEST(GetUrlTextTest, UnreachableAddressGivesEmptyTextAndClosesOnlyTheSession) {
  FakePlatform platform;
  platform.page.reachable = false;
  UrlTextProbe core(platform);

  EXPECT_EQ(core.GetUrlText("http://host/cgi-bin/timer.pl").text, "");
  EXPECT_EQ(platform.readsDelivered, std::vector<std::uint32_t>{0});
  ASSERT_EQ(platform.handlesClosed.size(), 1u);
  EXPECT_NE(platform.handlesClosed[0], 0u);
}

TEST(GetUrlTextTest, FailureMidBodyReturnsWhatWasRead) {
  FakePlatform platform;
  platform.page.body = Bytes(5000);
  platform.page.failAfterBytes = 3000;
  UrlTextProbe core(platform);

  EXPECT_EQ(core.GetUrlText("http://host/cgi-bin/timer.pl").text,
            platform.page.body.substr(0, 3000));
}

TEST(GetUrlTextTest, BytesAboveSevenBitsStayOneCharacterEach) {
  FakePlatform platform;
  platform.page.body = std::string("caf\xE9, 12:00:00 \xA0Universal", 24);
  UrlTextProbe core(platform);

  const std::string text = core.GetUrlText("http://host/cgi-bin/timer.pl").text;
  EXPECT_EQ(text.size(), platform.page.body.size());
  EXPECT_EQ(text, platform.page.body);
}

TEST(GetUrlTextTest, CarriesTheTimingOfTheReplyItRead) {
  using namespace std::chrono_literals;
  FakePlatform platform;
  platform.page.body = "page";
  platform.replyTiming = ReplyTiming{{1ms, 2ms}, 30ms, std::chrono::steady_clock::now()};
  UrlTextProbe core(platform);

  const UrlText download = core.GetUrlText("http://host/cgi-bin/timer.pl");
  ASSERT_TRUE(download.timing.has_value());
  EXPECT_EQ(download.timing->server, platform.replyTiming->server);
  EXPECT_EQ(download.timing->exchange, 30ms);
  EXPECT_EQ(download.failure, "");
  // Asked once, of the session and the address that it then closed.
  ASSERT_EQ(platform.handlesClosed.size(), 2u);
  EXPECT_EQ(platform.repliesQueried, (std::vector<std::pair<InternetHandle, InternetHandle>>{
                                         {platform.handlesClosed[1], platform.handlesClosed[0]}}));
}

TEST(GetUrlTextTest, AnAddressThatCannotBeOpenedGivesItsReasonAndNoTiming) {
  using namespace std::chrono_literals;
  FakePlatform platform;
  platform.page.reachable = false;
  platform.page.failure = "Connection refused";
  platform.replyTiming = ReplyTiming{{1ms, 2ms}, 30ms, std::chrono::steady_clock::now()};
  UrlTextProbe core(platform);

  const UrlText download = core.GetUrlText("http://host/cgi-bin/timer.pl");
  EXPECT_EQ(download.text, "");
  EXPECT_FALSE(download.timing.has_value());
  EXPECT_EQ(download.failure, "Connection refused");
}

// core_tests is built for the time host [2001:db8::7]:8123 (tests/core/CMakeLists.txt).
TEST(TimePageAddressTest, IsThePlainHttpTimerPageOfTheHostItWasBuiltFor) {
  EXPECT_EQ(TimePageAddress(), "http://[2001:db8::7]:8123/cgi-bin/timer.pl");
}

}  // namespace
}  // namespace tidewell
