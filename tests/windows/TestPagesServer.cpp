// windows-test-pages: the scripted loopback server that the Windows test program downloads from
// under Wine. It prints "listening on 127.0.0.1:PORT", serves until SIGTERM or SIGINT, and then
// prints one line per request it received:
//   request <request line> | user-agent <value> | pragma <value> | cache-control <value>
// so that the test script can check what WinINet sent.
#include <csignal>
#include <cstdio>
#include <string>

#include "DownloadPages.h"
#include "ScriptedHttpServer.h"

namespace {

using tidewell::test::RecordedRequest;
using tidewell::test::ScriptedHttpServer;
using tidewell::test::ScriptedReply;

// At the time page's path: a page whose time entry is not a time, for the run-time error report.
constexpr const char* kTimePagePath = "/cgi-bin/timer.pl";
constexpr const char* kMalformedTimePage =
    "<html><body>Tidewell test page, 25:61:00 Universal Time</body></html>";

std::string HeaderOrNone(const RecordedRequest& request, const char* name) {
  return request.Header(name).value_or("(none)");
}

}  // namespace

int main() {
  // Blocked before the server starts its threads, so the signals reach only sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ScriptedHttpServer server;
  tidewell::test::ServeDownloadPages(server);
  server.Serve(kTimePagePath, ScriptedReply::Body(kMalformedTimePage));
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.Stop();
  for (const RecordedRequest& request : server.Requests()) {
    std::printf("request %s | user-agent %s | pragma %s | cache-control %s\n",
                request.requestLine.c_str(), HeaderOrNone(request, "User-Agent").c_str(),
                HeaderOrNone(request, "Pragma").c_str(),
                HeaderOrNone(request, "Cache-Control").c_str());
  }
  return 0;
}
