#include <gtest/gtest.h>

#include <string>

#include "LinuxPlatform.h"
#include "ScopedEnvironment.h"
#include "ScriptedHttpServer.h"
#include "TimeCore.h"

namespace tidewell {
namespace {

using test::ScopedEnvironment;
using test::ScriptedHttpServer;
using test::ScriptedReply;

// The page download is the window's own routine; reach it the way a derived window would.
class Downloader : public TimeCore {
 public:
  using TimeCore::GetUrlText;
  using TimeCore::TimeCore;
};

class GetUrlTextTest : public ::testing::Test {
 protected:
  GetUrlTextTest() {
    for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
      environment_.Set(name, std::nullopt);
    }
  }

  ScopedEnvironment environment_;
  ScriptedHttpServer server_;
  LinuxPlatform platform_;
  Downloader downloader_{platform_};
};

TEST_F(GetUrlTextTest, ReturnsA5000BytePageWhole) {
  std::string page;
  for (int line = 0; page.size() < 5000; ++line) {
    page += "line " + std::to_string(line) + " \xe9\xff of the page, 12:00:00 Universal Time\n";
  }
  page.resize(5000);
  server_.Serve("/cgi-bin/timer.pl",
                ScriptedReply::Split(page, {1000, 3000}, std::chrono::milliseconds(20)));

  const std::string text = downloader_.GetUrlText(server_.Url("/cgi-bin/timer.pl")).text;

  EXPECT_EQ(text.size(), 5000u);
  EXPECT_TRUE(text == page);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].Header("User-Agent"), "VB Project");
}

TEST_F(GetUrlTextTest, ReturnsNothingWhenTheServerIsGone) {
  const std::string address = server_.Url("/cgi-bin/timer.pl");
  server_.Stop();
  EXPECT_EQ(downloader_.GetUrlText(address).text, "");
}

TEST_F(GetUrlTextTest, ReturnsThePartReadBeforeAReset) {
  const std::string page(5000, 'p');
  server_.Serve("/cgi-bin/timer.pl", ScriptedReply::ResetAfter(page, 2500));
  EXPECT_EQ(downloader_.GetUrlText(server_.Url("/cgi-bin/timer.pl")).text, page.substr(0, 2500));
}

}  // namespace
}  // namespace tidewell
