#include "WinInet.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "BindByName.h"

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kHeaderValueCapacity = 1024;
constexpr DWORD kMaxServerTimingHeaders = 8;
constexpr DWORD kFirstErrorStatus = 400;  // a reply from here on is an error page, not the page

// Runs on the calling thread inside the WinINet call (synchronous mode), for every handle
// opened with a non-zero context. The body's reads send the same notices again later: only the
// first response after the last request counts, and a redirect's new request starts afresh.
void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
  auto* stamps = reinterpret_cast<WinInet::ExchangeStamps*>(context);
  if (stamps == nullptr) return;
  if (status == INTERNET_STATUS_REQUEST_SENT) {
    stamps->requestSent = Clock::now();
    stamps->responseReceived.reset();
  } else if (status == INTERNET_STATUS_RESPONSE_RECEIVED && stamps->requestSent &&
             !stamps->responseReceived) {
    stamps->responseReceived = Clock::now();
  }
}

HINTERNET AsHinternet(InternetHandle handle) { return reinterpret_cast<HINTERNET>(handle); }
InternetHandle AsHandle(HINTERNET handle) { return reinterpret_cast<InternetHandle>(handle); }

using OpenUrlFunction = decltype(&::InternetOpenUrlA);
using CloseFunction = decltype(&::InternetCloseHandle);

// An open of an address running on a thread of its own, and what became of it.
struct PendingOpen {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool givenUp = false;  // the caller left at the deadline: the late handle is closed at once
  HINTERNET url = nullptr;
  DWORD error = 0;  // the open's GetLastError, which belongs to its own thread
};

// A WinINet error code in words, from wininet.dll's own messages where it has them.
std::string ErrorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      GetModuleHandleA("wininet.dll"), error, 0, text, sizeof text, nullptr);
  std::string_view words(text, length);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) {
    words.remove_suffix(1);
  }
  return words.empty() ? "WinINet error " + std::to_string(error) : std::string(words);
}

// InternetOpenUrlA, waited for until `deadline` at most. WinINet's own time-outs bound the
// connection and each wait for data, but not the whole call, and Wine ignores them; so the
// call runs on a thread of its own, and past the deadline the caller goes on without it. The
// caller then closes the session, which on Windows makes the waiting call return; where it
// does not (Wine), the call ends with the process. An address that arrives late is closed.
// The status callback writes into `stamps` on the open's thread: the thread holds them too, so a
// call given up at the deadline never writes into freed memory.
// Empty, with the reason in `failure`, when the address could not be opened.
HINTERNET OpenUrlUntil(Clock::time_point deadline, OpenUrlFunction openUrl, CloseFunction close,
                       HINTERNET session, const std::string& address,
                       std::shared_ptr<WinInet::ExchangeStamps> stamps, std::string& failure) {
  const auto pending = std::make_shared<PendingOpen>();
  const auto open = [pending, openUrl, close, session, address, stamps] {
    // No request headers of our own: the open is the plain fetch the program has always made.
    // An https address is opened secure by its scheme, with WinINet's checks as they are: the
    // certificate against the Windows certificate store (an office CA goes into its Trusted
    // Root Certification Authorities), its name and its dates. No SECURITY_FLAG_IGNORE_* and no
    // INTERNET_FLAG_IGNORE_* flag is ever given, so a failed check, or a redirect from https
    // down to http, fails the open with WinINet's own reason.
    const HINTERNET url = openUrl(session, address.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD,
                                  reinterpret_cast<DWORD_PTR>(stamps.get()));
    const DWORD error = url == nullptr ? GetLastError() : 0;
    const std::lock_guard lock(pending->mutex);
    if (pending->givenUp) {
      if (url != nullptr) close(url);
      return;
    }
    pending->url = url;
    pending->error = error;
    pending->done = true;
    pending->finished.notify_one();
  };
  std::thread worker;
  try {
    worker = std::thread(open);
  } catch (const std::system_error&) {
    open();  // no thread to be had: the open runs bounded by WinINet's time-outs alone
  }
  bool inTime = false;
  {
    std::unique_lock lock(pending->mutex);
    inTime = pending->finished.wait_until(lock, deadline, [&] { return pending->done; });
    if (!inTime) pending->givenUp = true;
  }
  if (!inTime) {
    if (worker.joinable()) worker.detach();
    failure = "no reply within the deadline";
    return nullptr;
  }
  // The open has only its return left. Waiting for it means no thread of ours is still ending
  // when the program does: Wine's server kills a process whose threads linger at its exit.
  if (worker.joinable()) worker.join();
  if (pending->url == nullptr) failure = ErrorText(pending->error);
  return pending->url;
}

}  // namespace

// The declared types come from the SDK's own declarations, so each pointer carries the calling
// convention and parameters wininet.dll exports; the import library is never linked.
struct WinInet::EntryPoints {
  explicit EntryPoints(std::string name) : libraryName(std::move(name)) {}

  template <class Function>
  Function Bound(Function& slot, const char* entryName) {
    if (slot == nullptr) {
      if (module == nullptr) module = LoadLibraryOrRaise(libraryName.c_str());
      slot = EntryPointOrRaise<Function>(module, libraryName.c_str(), entryName);
    }
    return slot;
  }

  // A time-out option on `handle`, in whole milliseconds. Where the option is refused the
  // transfer simply runs without that limit.
  void SetTimeout(HINTERNET handle, DWORD option, std::chrono::milliseconds timeout) {
    DWORD milliseconds = static_cast<DWORD>(std::max<std::int64_t>(timeout.count(), 1));
    Bound(setOption, "InternetSetOptionA")(handle, option, &milliseconds, sizeof milliseconds);
  }

  std::string libraryName;
  HMODULE module = nullptr;
  decltype(&::InternetOpenA) open = nullptr;
  decltype(&::InternetOpenUrlA) openUrl = nullptr;
  decltype(&::InternetQueryDataAvailable) queryDataAvailable = nullptr;
  decltype(&::InternetReadFile) readFile = nullptr;
  decltype(&::InternetCloseHandle) closeHandle = nullptr;
  decltype(&::InternetSetOptionA) setOption = nullptr;
  decltype(&::InternetSetStatusCallbackA) setStatusCallback = nullptr;
  decltype(&::HttpQueryInfoA) queryInfo = nullptr;
};

WinInet::WinInet(const DownloadLimits& limits, std::string libraryName)
    : limits_(limits), entryPoints_(std::make_unique<EntryPoints>(std::move(libraryName))) {}

WinInet::~WinInet() = default;

InternetHandle WinInet::OpenSession(const std::string& agent) {
  EntryPoints& api = *entryPoints_;
  const HINTERNET session = api.Bound(api.open, "InternetOpenA")(
      agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session == nullptr) return 0;
  // Addresses opened on the session inherit these.
  api.SetTimeout(session, INTERNET_OPTION_CONNECT_TIMEOUT, limits_.connectTimeout);
  api.SetTimeout(session, INTERNET_OPTION_SEND_TIMEOUT, limits_.stallTime);
  api.SetTimeout(session, INTERNET_OPTION_RECEIVE_TIMEOUT, limits_.stallTime);
  // Addresses opened on the session report their progress to it; nothing depends on it.
  api.Bound(api.setStatusCallback, "InternetSetStatusCallbackA")(session, &OnInternetStatus);
  return AsHandle(session);
}

InternetHandle WinInet::OpenUrl(InternetHandle session, const std::string& address) {
  EntryPoints& api = *entryPoints_;
  const auto openStarted = Clock::now();
  const auto deadline = openStarted + limits_.overallDeadline;
  // Both bound here: the open's thread only calls them, and can raise no error of its own.
  const auto openUrl = api.Bound(api.openUrl, "InternetOpenUrlA");
  const auto close = api.Bound(api.closeHandle, "InternetCloseHandle");
  auto stamps = std::make_shared<ExchangeStamps>();
  std::string failure;
  const HINTERNET url =
      OpenUrlUntil(deadline, openUrl, close, AsHinternet(session), address, stamps, failure);
  const auto openEnded = Clock::now();
  openFailures_[session] = failure;
  if (url == nullptr) return 0;

  Transfer transfer{deadline, 0, false, stamps, {}};
  const std::optional<ServerFigures> figures = ParseServerTiming(ServerTimingOf(AsHandle(url)));
  if (figures) {
    const bool stamped = stamps->requestSent && stamps->responseReceived;
    const SteadyTime sent = stamped ? *stamps->requestSent : openStarted;
    const SteadyTime received = stamped ? *stamps->responseReceived : openEnded;
    transfer.reply.timing = ReplyTiming{*figures, received - sent, received};
  }
  transfer.reply.failure = ErrorStatusOf(AsHandle(url));
  transfers_[AsHandle(url)] = std::move(transfer);
  return AsHandle(url);
}

std::string WinInet::ErrorStatusOf(InternetHandle url) {
  EntryPoints& api = *entryPoints_;
  DWORD code = 0;
  DWORD length = sizeof code;
  const auto queryInfo = api.Bound(api.queryInfo, "HttpQueryInfoA");
  if (!queryInfo(AsHinternet(url), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &length,
                 nullptr) ||
      code < kFirstErrorStatus) {
    return {};
  }
  char reason[kHeaderValueCapacity] = {};
  length = sizeof reason - 1;
  const bool hasReason =
      queryInfo(AsHinternet(url), HTTP_QUERY_STATUS_TEXT, reason, &length, nullptr) && length > 0;
  return "the server answered " + std::to_string(code) +
         (hasReason ? std::string(" ") + reason : std::string{});
}

std::string WinInet::ServerTimingOf(InternetHandle url) {
  EntryPoints& api = *entryPoints_;
  std::string joined;
  // HTTP_QUERY_CUSTOM takes the header's name in the buffer and gives back its value; the
  // index walks through headers of that name that occur more than once.
  for (DWORD index = 0, headers = 0; headers < kMaxServerTimingHeaders; ++headers) {
    char value[kHeaderValueCapacity] = {};
    const std::string_view name = kServerTimingHeader;
    std::copy(name.begin(), name.end(), value);
    DWORD length = sizeof value - 1;
    const DWORD asked = index;
    if (!api.Bound(api.queryInfo, "HttpQueryInfoA")(AsHinternet(url), HTTP_QUERY_CUSTOM, value,
                                                    &length, &index)) {
      break;  // no (further) such header, or one too long to be figures
    }
    if (!joined.empty()) joined += ", ";
    joined.append(value, std::min<DWORD>(length, sizeof value - 1));
    if (index == asked) break;  // a WinINet that does not move the index on has no more
  }
  return joined;
}

std::uint32_t WinInet::Read(InternetHandle url, char* buffer, std::uint32_t bytesToRead) {
  const auto found = transfers_.find(url);
  if (found == transfers_.end()) return 0;  // a failed open (0) or a closed handle
  Transfer& transfer = found->second;
  if (transfer.ended) return 0;

  const auto remaining =
      std::chrono::duration_cast<std::chrono::milliseconds>(transfer.deadline - Clock::now());
  const std::size_t room = limits_.sizeCap - transfer.delivered;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(bytesToRead, room));
  if (remaining.count() <= 0 || wanted == 0) {
    transfer.ended = true;
    transfer.reply.failure = room == 0 ? "the page reached the size cap" : "the deadline passed";
    return 0;
  }

  EntryPoints& api = *entryPoints_;
  const HINTERNET request = AsHinternet(url);
  // A synchronous InternetReadFile waits until it has filled the whole buffer, however slowly the
  // bytes come. So the read first waits for some bytes, at most as long as the stall limit
  // allows and never past the deadline, and then takes only what has arrived: every wait is
  // bounded without a second thread to watch the download.
  api.SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT,
                 std::min<std::chrono::milliseconds>(limits_.stallTime, remaining));
  DWORD available = 0;
  const BOOL waitOk =
      api.Bound(api.queryDataAvailable, "InternetQueryDataAvailable")(request, &available, 0, 0);
  if (!waitOk || available == 0) {  // a failure, or the end of the body
    if (!waitOk) transfer.reply.failure = ErrorText(GetLastError());
    transfer.ended = true;
    return 0;
  }

  const DWORD asked = std::min(wanted, available);
  DWORD bytesRead = 0;
  const BOOL readOk =
      api.Bound(api.readFile, "InternetReadFile")(request, buffer, asked, &bytesRead);
  if (!readOk || bytesRead == 0) {
    if (!readOk) transfer.reply.failure = ErrorText(GetLastError());
    transfer.ended = true;
    return 0;
  }
  bytesRead = std::min(bytesRead, asked);
  transfer.delivered += bytesRead;
  return bytesRead;
}

void WinInet::Close(InternetHandle handle) {
  EntryPoints& api = *entryPoints_;
  // The handle's last notices (closing) still name its stamps: they go after it.
  api.Bound(api.closeHandle, "InternetCloseHandle")(AsHinternet(handle));
  transfers_.erase(handle);
  openFailures_.erase(handle);
}

ReplyReport WinInet::Reply(InternetHandle session, InternetHandle url) const {
  if (const auto found = transfers_.find(url); found != transfers_.end()) {
    return found->second.reply;
  }
  const auto failure = openFailures_.find(session);
  return {std::nullopt, failure == openFailures_.end() ? std::string{} : failure->second};
}

}  // namespace tidewell
