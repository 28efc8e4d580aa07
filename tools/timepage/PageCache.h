#pragma once

// The rendered time pages of the server, one per second, shared by every reply in that second.

#include <map>
#include <memory>

#include "HttpExchange.h"
#include "TimePage.h"

namespace tidewell::timepage {

// The page of one second in both forms: for the last reply on a connection and for one that
// keeps the connection open.
struct Pages {
  std::shared_ptr<const Response> closing;
  std::shared_ptr<const Response> keepingOpen;
  const std::shared_ptr<const Response>& For(bool keepOpen) const {
    return keepOpen ? keepingOpen : closing;
  }
};

class PageCache {
 public:
  // The pages of `second`, rendered on first use. Pages older than the second before the
  // newest asked for are dropped: a request within the margin after a boundary still gets the
  // page of the second before, and nothing older is ever served again.
  const Pages& For(Second second);

 private:
  std::map<Second, Pages> pages_;
};

}  // namespace tidewell::timepage
