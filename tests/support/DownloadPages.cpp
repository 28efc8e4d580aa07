#include "DownloadPages.h"

#include <chrono>

namespace tidewell::test {
namespace {

// Longer than any download of the contract waits.
constexpr std::chrono::minutes kStall{1};

}  // namespace

ScriptedReply DownloadReply(const DownloadCase& downloadCase) {
  using Framing = ScriptedReply::Framing;
  const std::string body = PatternBody(downloadCase.bodySize);
  const auto& pieces = downloadCase.pieces;
  const auto pause = downloadCase.pause;
  switch (downloadCase.delivery) {
    case Delivery::kInPieces:
      return ScriptedReply::Split(body, pieces, pause);
    case Delivery::kChunked:
      return ScriptedReply::Split(body, pieces, pause, Framing::kChunked);
    case Delivery::kUntilClose:
      return ScriptedReply::Split(body, pieces, pause, Framing::kUntilClose);
    case Delivery::kDripping:
      return ScriptedReply::Drip(body, pause);
    case Delivery::kStalling:
      return ScriptedReply::Split(body, pieces, kStall);
    case Delivery::kNeverAnswering:
      return ScriptedReply::NeverAnswer();
    case Delivery::kWhole:
    case Delivery::kNoServer:
      break;
  }
  if (downloadCase.status != 200) {
    return ScriptedReply::WithStatus(downloadCase.status, "Not OK", body);
  }
  return ScriptedReply::Body(body);
}

void ServeDownloadPages(ScriptedHttpServer& server) {
  for (const DownloadCase& downloadCase : DownloadCases()) {
    server.Serve(std::string("/") + downloadCase.name, DownloadReply(downloadCase));
  }
}

}  // namespace tidewell::test
