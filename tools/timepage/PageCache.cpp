#include "PageCache.h"

#include <chrono>
#include <utility>

namespace tidewell::timepage {

const Pages& PageCache::For(Second second) {
  auto found = pages_.find(second);
  if (found == pages_.end()) {
    Pages pages{
        std::make_shared<const Response>(TimePageResponse(second, ConnectionHeader::kClose)),
        std::make_shared<const Response>(TimePageResponse(second, ConnectionHeader::kKeepAlive))};
    found = pages_.emplace(second, std::move(pages)).first;
    pages_.erase(pages_.begin(), pages_.lower_bound(second - std::chrono::seconds{1}));
  }
  return found->second;
}

}  // namespace tidewell::timepage
