#pragma once

#include <string>
#include <utility>

#include "Platform.h"
#include "ReplyTiming.h"

namespace tidewell {

// A platform whose internet functions are those of an `Internet` object (OpenSession, OpenUrl,
// Read, Close, Reply), which it owns. The native platforms derive from it and supply the
// rest.
template <class Internet>
class InternetPlatform : public Platform {
 public:
  InternetHandle InternetOpen(const std::string& agent) override {
    return internet_.OpenSession(agent);
  }
  InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) override {
    return internet_.OpenUrl(session, address);
  }
  std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                 std::uint32_t bytesToRead) override {
    return internet_.Read(url, buffer, bytesToRead);
  }
  void InternetCloseHandle(InternetHandle handle) override { internet_.Close(handle); }
  ReplyReport InternetQueryReply(InternetHandle session, InternetHandle url) override {
    return internet_.Reply(session, url);
  }

 protected:
  template <class... Arguments>
  explicit InternetPlatform(Arguments&&... arguments)
      : internet_(std::forward<Arguments>(arguments)...) {}

  Internet internet_;
};

}  // namespace tidewell
