#include "CurlInternet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "HttpFieldText.h"

namespace tidewell {
namespace {

// How long one wait for network activity may last before the transfer's own timers are looked
// at again. libcurl shortens it to its next timer, so this only bounds an idle wait.
constexpr int kPollSliceMs = 1000;
constexpr const char* kAllowedProtocols = "http,https";
// The reply must come from the server, never from a cache on the way. A time-page server that
// reports its figures may answer at once instead of on the next whole second: the figures let
// the page's second be brought up to date here.
constexpr const char* kRequestHeaders[] = {"Cache-Control: no-cache", "Pragma: no-cache",
                                           kPreferNoHoldHeader.data()};
constexpr std::string_view kStatusLineStart = "HTTP/";

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// The value of `line` when it is a header named `name` (any case), without surrounding blanks.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':' ||
      !http::StartsWithNoCase(line, name)) {
    return std::nullopt;
  }
  return http::TrimBlanks(line.substr(name.size() + 1));
}

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

  // The timing of the request in flight (each redirect starts a new one): when it left, when
  // its reply started to arrive, and the reply's Server-Timing headers joined by commas.
  SteadyTime requestSent{};
  SteadyTime replyArrived{};
  std::string serverTiming;
  // Where the figures of a finished reply head go: the internet's last reply timing.
  std::optional<ReplyTiming>* lastTiming = nullptr;

  bool HasPending() const { return pendingStart < pending.size(); }
  std::size_t PendingSize() const { return pending.size() - pendingStart; }

  // A GET of `address` under `limits`, reporting to this transfer. False when libcurl refuses.
  bool Configure(const std::string& address, const std::string& agent,
                 const DownloadLimits& limits);

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
  static int OnRequestReady(void* self, char*, char*, int, int);
  void OnHeaderLine(std::string_view line);
};

bool CurlInternet::Transfer::Configure(const std::string& address, const std::string& agent,
                                       const DownloadLimits& limits) {
  for (const char* header : kRequestHeaders) headers = curl_slist_append(headers, header);
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
         curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::OnRequestReady) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQDATA, self) == CURLE_OK &&
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

std::size_t CurlInternet::Transfer::OnHeader(char* data, std::size_t size, std::size_t count,
                                             void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  transfer.replyStarted = true;
  transfer.OnHeaderLine(std::string_view(data, size * count));
  return size * count;
}

// libcurl calls this on the open connection right before it sends each request. Our own steady
// clock is read here and at the reply's status line, rather than libcurl's transfer times: those
// add up over redirects, and the arrival has to be on the clock that later measures how long
// ago the reply came.
int CurlInternet::Transfer::OnRequestReady(void* self, char*, char*, int, int) {
  auto& transfer = *static_cast<Transfer*>(self);
  transfer.requestSent = std::chrono::steady_clock::now();
  transfer.replyArrived = {};
  transfer.serverTiming.clear();
  *transfer.lastTiming = std::nullopt;  // figures of an earlier reply are not this request's
  return CURL_PREREQFUNC_OK;
}

void CurlInternet::Transfer::OnHeaderLine(std::string_view line) {
  line = WithoutLineEnd(line);
  if (line.starts_with(kStatusLineStart)) {  // a reply begins (an interim one, or a redirect)
    replyArrived = std::chrono::steady_clock::now();
    serverTiming.clear();
    *lastTiming = std::nullopt;
    return;
  }
  if (line.empty()) {  // the end of a reply's head: its figures are complete
    const std::optional<ServerFigures> figures = ParseServerTiming(serverTiming);
    if (figures && replyArrived >= requestSent && requestSent != SteadyTime{}) {
      *lastTiming = ReplyTiming{*figures, replyArrived - requestSent, replyArrived};
    }
    return;
  }
  if (const auto value = HeaderValue(line, kServerTimingHeader)) {
    if (!serverTiming.empty()) serverTiming += ", ";
    serverTiming += *value;
  }
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
  lastTiming_.reset();  // a download that fails leaves no figures behind
  const auto owner = sessions_.find(session);
  if (owner == sessions_.end()) return 0;

  auto transfer = std::make_unique<Transfer>();
  transfer->lastTiming = &lastTiming_;
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
