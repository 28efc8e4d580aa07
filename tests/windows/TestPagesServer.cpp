// windows-test-pages: the scripted loopback server that the Windows test program downloads from
// under Wine. It prints "listening on 127.0.0.1:PORT", serves until SIGTERM or SIGINT, and then
// prints one line per request it received:
//   request <request line> | user-agent <value> | pragma <value> | cache-control <value> |
//   prefer <value>
// so that the test script can check what WinINet sent. With --never-answer it serves only the
// time page, and that never: each request for it is held unanswered, as a hung server would.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "DownloadPages.h"
#include "ScriptedHttpServer.h"
#include "TestPages.h"

namespace {

using tidewell::test::RecordedRequest;
using tidewell::test::ScriptedHttpServer;
using tidewell::test::ScriptedReply;

namespace pages = tidewell::wine_tests;

// Every page of the download contract, and the time page and the timed pages.
void ServeTestPages(ScriptedHttpServer& server) {
  tidewell::test::ServeDownloadPages(server);
  server.Serve(pages::kTimePagePath, ScriptedReply::Body(pages::kMalformedTimePage));
  for (const auto& [path, header] : {std::pair{pages::kTimedPath, pages::kTimedHeader},
                                     std::pair{pages::kBadlyTimedPath, pages::kBadTimingHeader}}) {
    ScriptedReply timed = ScriptedReply::Body("timed");
    timed.headers.push_back(header);
    timed.pauseBeforeReply = std::chrono::milliseconds(pages::kTimedPauseMs);
    server.Serve(path, timed);
  }
}

void ServeNothingEver(ScriptedHttpServer& server) {
  server.Serve(pages::kTimePagePath, ScriptedReply::NeverAnswer());
}

std::string HeaderOrNone(const RecordedRequest& request, const char* name) {
  return request.Header(name).value_or("(none)");
}

}  // namespace

int main(int argc, char** argv) {
  const bool neverAnswer = argc > 1 && std::strcmp(argv[1], "--never-answer") == 0;
  // Blocked before the server starts its threads, so the signals reach only sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ScriptedHttpServer server;
  if (neverAnswer) {
    ServeNothingEver(server);
  } else {
    ServeTestPages(server);
  }
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.Stop();
  for (const RecordedRequest& request : server.Requests()) {
    std::printf("request %s | user-agent %s | pragma %s | cache-control %s | prefer %s\n",
                request.requestLine.c_str(), HeaderOrNone(request, "User-Agent").c_str(),
                HeaderOrNone(request, "Pragma").c_str(),
                HeaderOrNone(request, "Cache-Control").c_str(),
                HeaderOrNone(request, "Prefer").c_str());
  }
  return 0;
}
