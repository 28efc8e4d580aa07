#include "CurlInternet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace tidewell {
namespace {

// How long one wait for network activity may last before the transfer's own timers are looked
// at again. libcurl shortens it to its next timer, so this only bounds an idle wait.
constexpr int kPollSliceMs = 1000;
constexpr const char* kAllowedProtocols = "http,https";
// The reply must come from the server, never from a cache on the way.
constexpr const char* kNoCacheHeaders[] = {"Cache-Control: no-cache", "Pragma: no-cache"};

void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

struct CurlInternet::Session {
  std::string agent;
  CURLM* multi = nullptr;
};

struct CurlInternet::Transfer {
  InternetHandle session = 0;
  CURLM* multi = nullptr;  // the session's
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::size_t sizeCap = 0;

  // Body that arrived but was not read yet; while there is any, the transfer is paused.
  std::string pending;
  std::size_t pendingStart = 0;
  std::size_t bytesTaken = 0;  // body taken in from the network so far, read or pending
  bool paused = false;
  bool replyStarted = false;
  bool ended = false;

  bool HasPending() const { return pendingStart < pending.size(); }
  std::size_t PendingSize() const { return pending.size() - pendingStart; }

  // A GET of `address` under `limits`, reporting to this transfer. False when libcurl refuses.
  bool Configure(const std::string& address, const std::string& agent,
                 const DownloadLimits& limits);

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
};

bool CurlInternet::Transfer::Configure(const std::string& address, const std::string& agent,
                                       const DownloadLimits& limits) {
  for (const char* header : kNoCacheHeaders) headers = curl_slist_append(headers, header);
  void* self = static_cast<void*>(this);
  // The system's proxy settings are those of the environment (http_proxy, no_proxy, ...), which
  // libcurl applies by itself when no proxy is set here.
  return headers != nullptr && curl_easy_setopt(easy, CURLOPT_URL, address.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_MAXREDIRS, limits.maxRedirects) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                          static_cast<long>(limits.connectTimeout.count())) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                          static_cast<long>(limits.overallDeadline.count())) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, limits.stallBytesPerSecond) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                          static_cast<long>(limits.stallTime.count())) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEDATA, self) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERDATA, self) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PRIVATE, self) == CURLE_OK;
}

std::size_t CurlInternet::Transfer::OnBody(char* data, std::size_t size, std::size_t count,
                                           void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  const std::size_t length = size * count;
  if (transfer.HasPending()) {
    transfer.paused = true;  // libcurl keeps this piece and hands it over again on resuming
    return CURL_WRITEFUNC_PAUSE;
  }
  const std::size_t room = transfer.sizeCap - transfer.bytesTaken;
  const std::size_t taken = std::min(length, room);
  transfer.pending.assign(data, taken);
  transfer.pendingStart = 0;
  transfer.bytesTaken += taken;
  // Taking less than offered makes libcurl end the transfer with a write error: the cap is hit.
  return taken;
}

std::size_t CurlInternet::Transfer::OnHeader(char*, std::size_t size, std::size_t count,
                                             void* self) {
  static_cast<Transfer*>(self)->replyStarted = true;
  return size * count;
}

CurlInternet::CurlInternet(const DownloadLimits& limits) : limits_(limits) { InitialiseCurlOnce(); }

CurlInternet::~CurlInternet() {
  while (!sessions_.empty()) Close(sessions_.begin()->first);
  while (!transfers_.empty()) CloseTransfer(transfers_.begin()->first);
}

InternetHandle CurlInternet::OpenSession(const std::string& agent) {
  auto session = std::make_unique<Session>();
  session->agent = agent;
  session->multi = curl_multi_init();
  if (session->multi == nullptr) return 0;
  const InternetHandle handle = ++lastHandle_;
  sessions_.emplace(handle, std::move(session));
  return handle;
}

InternetHandle CurlInternet::OpenUrl(InternetHandle session, const std::string& address) {
  const auto owner = sessions_.find(session);
  if (owner == sessions_.end()) return 0;

  auto transfer = std::make_unique<Transfer>();
  transfer->session = session;
  transfer->multi = owner->second->multi;
  transfer->sizeCap = limits_.sizeCap;
  transfer->easy = curl_easy_init();
  if (transfer->easy == nullptr) return 0;
  const InternetHandle handle = ++lastHandle_;
  Transfer& opened = *transfers_.emplace(handle, std::move(transfer)).first->second;

  if (!opened.Configure(address, owner->second->agent, limits_) ||
      curl_multi_add_handle(opened.multi, opened.easy) != CURLM_OK) {
    CloseTransfer(handle);
    return 0;
  }

  DriveUntilBodyOrEnd(opened, /*stopAtReplyStart=*/true);
  if (!opened.replyStarted) {  // no reply at all: the address could not be opened
    CloseTransfer(handle);
    return 0;
  }
  return handle;
}

std::uint32_t CurlInternet::Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead) {
  Transfer* transfer = FindTransfer(url);
  if (transfer == nullptr || buffer == nullptr || bytesToRead == 0) return 0;

  DriveUntilBodyOrEnd(*transfer, /*stopAtReplyStart=*/false);
  if (!transfer->HasPending()) return 0;  // the end of the body, or a failure

  const std::size_t count = std::min<std::size_t>(bytesToRead, transfer->PendingSize());
  std::memcpy(buffer, transfer->pending.data() + transfer->pendingStart, count);
  transfer->pendingStart += count;
  if (!transfer->HasPending() && transfer->paused) {
    transfer->paused = false;
    curl_easy_pause(transfer->easy, CURLPAUSE_CONT);  // may hand over the next piece at once
  }
  return static_cast<std::uint32_t>(count);
}

void CurlInternet::Close(InternetHandle handle) {
  if (transfers_.count(handle) != 0) {
    CloseTransfer(handle);
    return;
  }
  const auto session = sessions_.find(handle);
  if (session == sessions_.end()) return;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    const InternetHandle child = it->first;
    const bool belongs = it->second->session == handle;
    ++it;
    if (belongs) CloseTransfer(child);
  }
  curl_multi_cleanup(session->second->multi);
  sessions_.erase(session);
}

std::size_t CurlInternet::HeldBytes(InternetHandle url) {
  const Transfer* transfer = FindTransfer(url);
  return transfer == nullptr ? 0 : transfer->PendingSize();
}

CurlInternet::Transfer* CurlInternet::FindTransfer(InternetHandle handle) {
  const auto found = transfers_.find(handle);
  return found == transfers_.end() ? nullptr : found->second.get();
}

void CurlInternet::CloseTransfer(InternetHandle handle) {
  const auto found = transfers_.find(handle);
  if (found == transfers_.end()) return;
  Transfer& transfer = *found->second;
  if (transfer.easy != nullptr) {
    curl_multi_remove_handle(transfer.multi, transfer.easy);
    curl_easy_cleanup(transfer.easy);
  }
  curl_slist_free_all(transfer.headers);
  transfers_.erase(found);
}

void CurlInternet::DriveUntilBodyOrEnd(Transfer& transfer, bool stopAtReplyStart) {
  const auto done = [&] {
    return transfer.HasPending() || transfer.ended || (stopAtReplyStart && transfer.replyStarted);
  };
  while (!done()) {
    int running = 0;
    if (curl_multi_perform(transfer.multi, &running) != CURLM_OK) {
      transfer.ended = true;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(transfer.multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      char* owner = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
      if (owner != nullptr) reinterpret_cast<Transfer*>(owner)->ended = true;
    }
    if (done()) break;
    if (curl_multi_poll(transfer.multi, nullptr, 0, kPollSliceMs, nullptr) != CURLM_OK) {
      transfer.ended = true;
    }
  }
}

}  // namespace tidewell
