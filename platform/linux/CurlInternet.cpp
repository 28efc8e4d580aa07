#include "CurlInternet.h"

#include <curl/curl.h>
#include <sys/auxv.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "HttpFieldText.h"

namespace tidewell {
namespace {

constexpr std::uint32_t kMostPerRead = 2048;
constexpr const char* kAllowedProtocols = "http,https";
// The reply must come from the server, never from a cache on the way. A time-page server that
// reports its figures may answer at once instead of on the next whole second.
constexpr const char* kRequestHeaders[] = {"Cache-Control: no-cache", "Pragma: no-cache",
                                           kPreferNoHoldHeader.data()};

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// What one GET collects while libcurl runs it. Each request (a redirect starts a new one) is
// timed on our own steady clock, from leaving on the open connection to its reply's status
// line: libcurl's transfer times add up over redirects, and the arrival has to be on the clock
// that later measures how long ago the reply came. A redirect's figures are not the page's.
struct Exchange {
  std::size_t sizeCap = 0;
  std::string body;
  bool redirect = false;  // the reply in hand has a 3xx status
  SteadyTime requestSent{};
  SteadyTime replyArrived{};
  std::string serverTiming;
  std::optional<ReplyTiming> timing;

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto& exchange = *static_cast<Exchange*>(self);
    const std::size_t taken = std::min(size * count, exchange.sizeCap - exchange.body.size());
    exchange.body.append(data, taken);
    return taken;  // less than offered: libcurl ends the transfer with a write error
  }

  static int OnRequestReady(void* self, char*, char*, int, int) {
    auto& exchange = *static_cast<Exchange*>(self);
    exchange.requestSent = std::chrono::steady_clock::now();
    exchange.timing.reset();  // figures of an earlier reply are not this request's
    return CURL_PREREQFUNC_OK;
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto& exchange = *static_cast<Exchange*>(self);
    std::string_view line(data, size * count);
    line = http::TrimBlanks(line.substr(0, line.find_first_of("\r\n")));
    const std::string_view timingName = kServerTimingHeader;
    if (line.starts_with("HTTP/")) {  // a reply begins (an interim one, or a redirect)
      exchange.replyArrived = std::chrono::steady_clock::now();
      exchange.redirect = line.find(" 3") == line.find(' ');
      exchange.serverTiming.clear();
      exchange.timing.reset();
    } else if (line.empty()) {  // the end of a reply's head: its figures are complete
      const std::optional<ServerFigures> figures = ParseServerTiming(exchange.serverTiming);
      if (figures && !exchange.redirect && exchange.requestSent != SteadyTime{}) {
        exchange.timing = ReplyTiming{*figures, exchange.replyArrived - exchange.requestSent,
                                      exchange.replyArrived};
      }
    } else if (line.size() > timingName.size() && line[timingName.size()] == ':' &&
               http::StartsWithNoCase(line, timingName)) {
      if (!exchange.serverTiming.empty()) exchange.serverTiming += ", ";
      exchange.serverTiming += http::TrimBlanks(line.substr(timingName.size() + 1));
    }
    return size * count;
  }
};

// A GET of `address` under `limits`, collecting into `exchange`. False when libcurl refuses.
bool Configure(CURL* easy, const std::string& address, const std::string& agent,
               const DownloadLimits& limits, bool privileged, const std::string& caFile,
               curl_slist* headers, Exchange& exchange, char* errorText) {
  const auto set = [easy](CURLoption option, auto value) {
    return curl_easy_setopt(easy, option, value) == CURLE_OK;
  };
  // The system's proxy settings are those of the environment (http_proxy, no_proxy, ...), which
  // libcurl applies by itself unless told to use none.
  if (privileged && !(set(CURLOPT_PROXY, "") && set(CURLOPT_NOPROXY, "*"))) return false;
  if (!caFile.empty() && !set(CURLOPT_CAINFO, caFile.c_str())) return false;
  // A page asked for over https never comes over plain http.
  const bool secure = http::StartsWithNoCase(address, "https://");
  return set(CURLOPT_URL, address.c_str()) && set(CURLOPT_HTTPGET, 1L) &&
         set(CURLOPT_USERAGENT, agent.c_str()) && set(CURLOPT_HTTPHEADER, headers) &&
         set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols) &&
         set(CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : kAllowedProtocols) &&
         set(CURLOPT_SSL_VERIFYPEER, 1L) && set(CURLOPT_SSL_VERIFYHOST, 2L) &&
         set(CURLOPT_FOLLOWLOCATION, 1L) &&
         set(CURLOPT_MAXREDIRS, limits.maxRedirects) &&
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
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

InternetHandle CurlInternet::OpenSession(const std::string& agent) {
  handles_[++lastHandle_].agent = agent;
  return lastHandle_;
}

InternetHandle CurlInternet::OpenUrl(InternetHandle session, const std::string& address) {
  const auto owner = handles_.find(session);
  if (owner == handles_.end() || owner->second.session != 0) return 0;
  std::string& failure = owner->second.reply.failure;
  Easy easy(curl_easy_init(), &curl_easy_cleanup);
  HeaderList headers(nullptr, &curl_slist_free_all);
  for (const char* header : kRequestHeaders) {
    headers.reset(curl_slist_append(headers.release(), header));
  }
  Exchange exchange;
  exchange.sizeCap = limits_.sizeCap;
  char errorText[CURL_ERROR_SIZE] = {};
  if (!easy || !headers ||
      !Configure(easy.get(), address, owner->second.agent, limits_, privileged_, caFile_,
                 headers.get(), exchange, errorText)) {
    failure = "the download could not be prepared";
    return 0;
  }
  const CURLcode result = curl_easy_perform(easy.get());
  failure = result == CURLE_OK ? std::string{} : FailureText(easy.get(), result, errorText);
  if (exchange.body.size() == limits_.sizeCap && result == CURLE_WRITE_ERROR) {
    failure = "the page is over " + std::to_string(limits_.sizeCap) + " bytes";
  }
  // No reply at all: the address could not be opened.
  if (exchange.replyArrived == SteadyTime{}) return 0;
  handles_[++lastHandle_] = Handle{
      session, {}, std::move(exchange.body), 0, {exchange.timing, std::exchange(failure, {})}};
  return lastHandle_;
}

std::uint32_t CurlInternet::Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead) {
  const auto found = handles_.find(url);
  if (found == handles_.end() || found->second.session == 0 || buffer == nullptr) return 0;
  Handle& transfer = found->second;
  const std::size_t count = std::min<std::size_t>(
      {bytesToRead, kMostPerRead, transfer.body.size() - transfer.readPosition});
  std::memcpy(buffer, transfer.body.data() + transfer.readPosition, count);
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
