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

#include "ScriptedHttpServer.h"
#include "TestPages.h"

namespace {

using tidewell::testing::RecordedRequest;
using tidewell::testing::ScriptedHttpServer;
using tidewell::testing::ScriptedReply;
namespace pages = tidewell::wine_tests;

void ServeTestPages(ScriptedHttpServer& server) {
  using std::chrono::milliseconds;
  server.Serve(pages::kEmptyPath, ScriptedReply::Body(""));
  server.Serve(pages::kExactChunkPath,
               ScriptedReply::Body(pages::PatternBody(pages::kExactChunkSize)));
  // Written in pieces that do not line up with 2048-byte reads, a little apart, so that reads
  // find part of a chunk waiting.
  server.Serve(pages::kSplitBodyPath,
               ScriptedReply::Split(pages::PatternBody(pages::kSplitBodySize), {700, 1900, 1500},
                                    milliseconds(30)));
  server.Serve(pages::kNotFoundPath,
               ScriptedReply::WithStatus(404, "Not Found", pages::kNotFoundBody));
  server.Serve(pages::kNeverAnswersPath, ScriptedReply::NeverAnswer());
  server.Serve(pages::kDripPath, ScriptedReply::Drip(std::string(2000, 'd'), milliseconds(20)));
  // The first bytes, then nothing for longer than any test waits.
  server.Serve(pages::kStallPath,
               ScriptedReply::Split(std::string(pages::kBytesBeforeStall + 50, 's'),
                                    {pages::kBytesBeforeStall}, milliseconds(60'000)));
  // Larger than the size cap the test sets. (Not endless: Wine reads what is left of a body
  // when the address is closed, and an endless one would hold the close up.)
  server.Serve(pages::kLargePath, ScriptedReply::Body(std::string(pages::kLargeBodySize, 'e')));
  server.Serve(pages::kTimePagePath, ScriptedReply::Body(pages::kMalformedTimePage));
  for (const auto& [path, header] : {std::pair{pages::kTimedPath, pages::kTimedHeader},
                                     std::pair{pages::kBadlyTimedPath, pages::kBadTimingHeader}}) {
    ScriptedReply timed = ScriptedReply::Body("timed");
    timed.headers.push_back(header);
    timed.pauseBeforeReply = milliseconds(pages::kTimedPauseMs);
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
