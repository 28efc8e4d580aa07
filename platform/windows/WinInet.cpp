#include "WinInet.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "BindByName.h"

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

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
};

// InternetOpenUrlA, waited for until `deadline` at most. WinINet's own time-outs bound the
// connection and each wait for data, but not the whole call, and Wine ignores them; so the
// call runs on a thread of its own, and past the deadline the caller goes on without it. The
// caller then closes the session, which on Windows makes the waiting call return; where it
// does not (Wine), the call ends with the process. An address that arrives late is closed.
HINTERNET OpenUrlUntil(Clock::time_point deadline, OpenUrlFunction openUrl, CloseFunction close,
                       HINTERNET session, const std::string& address) {
  const auto pending = std::make_shared<PendingOpen>();
  const auto open = [pending, openUrl, close, session, address] {
    const HINTERNET url = openUrl(session, address.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    const std::lock_guard lock(pending->mutex);
    if (pending->givenUp) {
      if (url != nullptr) close(url);
      return;
    }
    pending->url = url;
    pending->done = true;
    pending->finished.notify_one();
  };
  try {
    std::thread(open).detach();
  } catch (const std::system_error&) {
    open();  // no thread to be had: the open runs bounded by WinINet's time-outs alone
  }
  std::unique_lock lock(pending->mutex);
  if (!pending->finished.wait_until(lock, deadline, [&] { return pending->done; })) {
    pending->givenUp = true;
    return nullptr;
  }
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
};

WinInet::WinInet(const InternetLimits& limits, std::string libraryName)
    : limits_(limits), entryPoints_(std::make_unique<EntryPoints>(std::move(libraryName))) {}

WinInet::~WinInet() = default;

InternetHandle WinInet::OpenSession(const std::string& agent) {
  EntryPoints& api = *entryPoints_;
  const HINTERNET session = api.Bound(api.open, "InternetOpenA")(
      agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session == nullptr) return 0;
  // Addresses opened on the session inherit these.
  api.SetTimeout(session, INTERNET_OPTION_CONNECT_TIMEOUT, limits_.connectTimeout);
  api.SetTimeout(session, INTERNET_OPTION_SEND_TIMEOUT, limits_.stallTimeout);
  api.SetTimeout(session, INTERNET_OPTION_RECEIVE_TIMEOUT, limits_.stallTimeout);
  return AsHandle(session);
}

InternetHandle WinInet::OpenUrl(InternetHandle session, const std::string& address) {
  EntryPoints& api = *entryPoints_;
  const auto deadline = Clock::now() + limits_.overallDeadline;
  // Both bound here: the open's thread only calls them, and can raise no error of its own.
  const auto openUrl = api.Bound(api.openUrl, "InternetOpenUrlA");
  const auto close = api.Bound(api.closeHandle, "InternetCloseHandle");
  const HINTERNET url = OpenUrlUntil(deadline, openUrl, close, AsHinternet(session), address);
  if (url == nullptr) return 0;
  transfers_[AsHandle(url)] = Transfer{deadline};
  return AsHandle(url);
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
    return 0;
  }

  EntryPoints& api = *entryPoints_;
  const HINTERNET request = AsHinternet(url);
  // A synchronous InternetReadFile waits until it has filled the whole buffer, however slowly the
  // bytes come. So the read first waits for some bytes, at most as long as the stall limit
  // allows and never past the deadline, and then takes only what has arrived: every wait is
  // bounded without a second thread to watch the download.
  api.SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT,
                 std::min(limits_.stallTimeout, remaining));
  DWORD available = 0;
  const BOOL waitOk =
      api.Bound(api.queryDataAvailable, "InternetQueryDataAvailable")(request, &available, 0, 0);
  if (!waitOk || available == 0) {  // a failure, or the end of the body
    transfer.ended = true;
    return 0;
  }

  const DWORD asked = std::min(wanted, available);
  DWORD bytesRead = 0;
  const BOOL readOk =
      api.Bound(api.readFile, "InternetReadFile")(request, buffer, asked, &bytesRead);
  if (!readOk || bytesRead == 0) {
    transfer.ended = true;
    return 0;
  }
  bytesRead = std::min(bytesRead, asked);
  transfer.delivered += bytesRead;
  return bytesRead;
}

void WinInet::Close(InternetHandle handle) {
  EntryPoints& api = *entryPoints_;
  transfers_.erase(handle);
  api.Bound(api.closeHandle, "InternetCloseHandle")(AsHinternet(handle));
}

}  // namespace tidewell
