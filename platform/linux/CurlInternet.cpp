#include "CurlInternet.h"

#include <curl/curl.h>
#include <sys/auxv.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <utility>

#include "HttpFieldText.h"

namespace tidewell {
namespace {

constexpr std::uint32_t kMostPerRead = 2048;
constexpr const char* kAllowedProtocols = "http,https";
constexpr long kFirstErrorStatus = 400;  // from here on a reply is an error page, not the page
// From the server, never from a cache on the way; at once, from a server that sends figures.
constexpr const char* kRequestHeaders[] = {"Cache-Control: no-cache", "Pragma: no-cache",
                                           kPreferNoHoldHeader.data()};

// What one GET collects. Each request (a redirect starts another) is timed from leaving to its
// reply's status line on the steady clock that later tells how long ago the reply came, which
// libcurl's times (summed over redirects) cannot.
struct Exchange {
  std::size_t sizeCap = 0;
  std::string body;
  std::string status;  // the last reply's code and reason ("404 Not Found")
  SteadyTime requestSent{};
  SteadyTime replyArrived{};

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto& exchange = *static_cast<Exchange*>(self);
    const std::size_t taken = std::min(size * count, exchange.sizeCap - exchange.body.size());
    exchange.body.append(data, taken);
    return taken;  // less than offered: libcurl ends the transfer with a write error
  }

  static int OnRequestReady(void* self, char*, char*, int, int) {
    static_cast<Exchange*>(self)->requestSent = std::chrono::steady_clock::now();
    return CURL_PREREQFUNC_OK;
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    std::string_view line(data, size * count);
    line = line.substr(0, line.find_first_of("\r\n"));
    if (line.starts_with("HTTP/")) {  // a reply begins (an interim one, or a redirect)
      auto& exchange = *static_cast<Exchange*>(self);
      exchange.replyArrived = std::chrono::steady_clock::now();
      exchange.status = http::TrimBlanks(line.substr(std::min(line.find(' '), line.size())));
    }
    return size * count;
  }

  // The timing of the last request's reply, by its Server-Timing headers (a redirect's figures
  // are not the page's).
  std::optional<ReplyTiming> Timing(CURL* easy) const {
    std::string joined;
    curl_header* header = nullptr;
    for (std::size_t i = 0; curl_easy_header(easy, kServerTimingHeader.data(), i, CURLH_HEADER, -1,
                                             &header) == CURLHE_OK;
         ++i) {
      joined += (joined.empty() ? "" : ", ") + std::string(header->value);
    }
    const std::optional<ServerFigures> figures = ParseServerTiming(joined);
    if (!figures || requestSent == SteadyTime{} || replyArrived < requestSent) return {};
    return ReplyTiming{*figures, replyArrived - requestSent, replyArrived};
  }
};

// A GET of `address` under `limits`, collecting into `exchange`. False when libcurl refuses.
bool Configure(CURL* easy, const std::string& address, const std::string& agent,
               const DownloadLimits& limits, curl_slist* headers, Exchange& exchange,
               char* errorText) {
  const auto set = [easy](CURLoption option, auto value) {
    return curl_easy_setopt(easy, option, value) == CURLE_OK;
  };
  const bool secure = http::StartsWithNoCase(address, "https://");  // never on to plain http
  return set(CURLOPT_URL, address.c_str()) && set(CURLOPT_HTTPGET, 1L) &&
         set(CURLOPT_USERAGENT, agent.c_str()) && set(CURLOPT_HTTPHEADER, headers) &&
         set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols) &&
         set(CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : kAllowedProtocols) &&
         set(CURLOPT_SSL_VERIFYPEER, 1L) && set(CURLOPT_SSL_VERIFYHOST, 2L) &&
         set(CURLOPT_FOLLOWLOCATION, 1L) && set(CURLOPT_MAXREDIRS, limits.maxRedirects) &&
         set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count())) &&
         set(CURLOPT_TIMEOUT_MS, static_cast<long>(limits.overallDeadline.count())) &&
         set(CURLOPT_LOW_SPEED_LIMIT, limits.stallBytesPerSecond) &&
         set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stallTime.count())) &&
         set(CURLOPT_NOSIGNAL, 1L) && set(CURLOPT_ERRORBUFFER, errorText) &&
         set(CURLOPT_WRITEFUNCTION, &Exchange::OnBody) && set(CURLOPT_WRITEDATA, &exchange) &&
         set(CURLOPT_HEADERFUNCTION, &Exchange::OnHeader) && set(CURLOPT_HEADERDATA, &exchange) &&
         set(CURLOPT_PREREQFUNCTION, &Exchange::OnRequestReady) &&
         set(CURLOPT_PREREQDATA, &exchange);
}

// Why a transfer failed, in a few words: the system's own for a refused or reset connection
// ("Connection refused"), else libcurl's.
std::string FailureText(CURL* easy, CURLcode result, const char* errorText) {
  long systemError = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &systemError);
  if (systemError != 0 && (result == CURLE_COULDNT_CONNECT || result == CURLE_RECV_ERROR)) {
    return std::system_category().message(static_cast<int>(systemError));
  }
  return *errorText != '\0' ? errorText : curl_easy_strerror(result);
}

}  // namespace

bool RunsWithMorePrivilegeThanItsUser() { return getauxval(AT_SECURE) != 0; }

CurlInternet::CurlInternet(const DownloadLimits& limits, bool privileged, std::string caFile)
    : limits_(limits), privileged_(privileged), caFile_(std::move(caFile)) {
  [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
}

InternetHandle CurlInternet::OpenSession(const std::string& agent) {
  handles_[++lastHandle_].agent = agent;
  return lastHandle_;
}

InternetHandle CurlInternet::OpenUrl(InternetHandle session, const std::string& address) {
  const auto owner = handles_.find(session);
  if (owner == handles_.end() || owner->second.session != 0) return 0;
  std::string& failure = owner->second.reply.failure;
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                 &curl_easy_cleanup);
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr,
                                                                      &curl_slist_free_all);
  for (const char* header : kRequestHeaders) {
    headers.reset(curl_slist_append(headers.release(), header));
  }
  Exchange exchange;
  exchange.sizeCap = limits_.sizeCap;
  char errorText[CURL_ERROR_SIZE] = {};
  // libcurl takes the proxy from the environment (http_proxy, no_proxy, ...) unless told not to.
  const bool prepared =
      easy && headers &&
      Configure(easy.get(), address, owner->second.agent, limits_, headers.get(), exchange,
                errorText) &&
      (!privileged_ || (curl_easy_setopt(easy.get(), CURLOPT_PROXY, "") == CURLE_OK &&
                        curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "*") == CURLE_OK)) &&
      (caFile_.empty() ||
       curl_easy_setopt(easy.get(), CURLOPT_CAINFO, caFile_.c_str()) == CURLE_OK);
  if (!prepared) {
    failure = "the download could not be prepared";
    return 0;
  }
  const CURLcode result = curl_easy_perform(easy.get());
  failure = result == CURLE_OK ? std::string{} : FailureText(easy.get(), result, errorText);
  long code = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
  if (exchange.body.size() == limits_.sizeCap && result == CURLE_WRITE_ERROR) {
    failure = "the page is over " + std::to_string(limits_.sizeCap) + " bytes";
  } else if (failure.empty() && code >= kFirstErrorStatus) {
    failure = "the server answered " + exchange.status;
  }
  if (exchange.replyArrived == SteadyTime{}) return 0;  // no reply: the address did not open
  ReplyReport reply{exchange.Timing(easy.get()), std::exchange(failure, {})};
  handles_[++lastHandle_] = Handle{session, {}, std::move(exchange.body), 0, std::move(reply)};
  return lastHandle_;
}

std::uint32_t CurlInternet::Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead) {
  const auto found = handles_.find(url);
  if (found == handles_.end() || found->second.session == 0 || buffer == nullptr) return 0;
  Handle& transfer = found->second;
  const std::size_t count = std::min<std::size_t>(
      {bytesToRead, kMostPerRead, transfer.body.size() - transfer.readPosition});
  std::copy_n(transfer.body.data() + transfer.readPosition, count, buffer);
  transfer.readPosition += count;
  return static_cast<std::uint32_t>(count);
}

void CurlInternet::Close(InternetHandle handle) {
  std::erase_if(handles_, [handle](const auto& entry) {
    return entry.first == handle || entry.second.session == handle;
  });
}

ReplyReport CurlInternet::Reply(InternetHandle session, InternetHandle url) const {
  const auto found = handles_.find(url != 0 ? url : session);  // a session keeps no timing
  return found == handles_.end() ? ReplyReport{} : found->second.reply;
}

}  // namespace tidewell
