// The time-page server's request parser on arbitrary bytes from the network. The bytes are
// framed into request heads twice: whole, and in pieces cut where the input says, as reads
// from a socket would deliver them. Both ways must find the same heads, each ending at its
// first empty line; every head must route to a consistent answer.

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "HttpExchange.h"

namespace {

using namespace tidewell::timepage;

constexpr int kMaxPieceSizes = 8;
constexpr std::size_t kMaxPieceSize = 300;

// The heads found when all of `bytes` is there at once.
std::vector<std::string> HeadsOfWhole(std::string_view bytes) {
  std::vector<std::string> heads;
  for (std::size_t end = FindHeadEnd(bytes, 0); end != 0; end = FindHeadEnd(bytes, 0)) {
    heads.emplace_back(bytes.substr(0, end));
    bytes.remove_prefix(end);
  }
  return heads;
}

// The heads found when `bytes` arrive in pieces of the given sizes, in turn: each new piece is
// scanned from where the last scan ended, and what follows a head is rescanned from its start.
std::vector<std::string> HeadsOfPieces(std::string_view bytes,
                                       const std::vector<std::size_t>& pieceSizes) {
  std::vector<std::string> heads;
  std::string buffer;
  for (std::size_t piece = 0; !bytes.empty(); ++piece) {
    const std::size_t size = std::min(pieceSizes[piece % pieceSizes.size()], bytes.size());
    std::size_t scannedUpTo = buffer.size();
    buffer.append(bytes.substr(0, size));
    bytes.remove_prefix(size);
    for (std::size_t end = FindHeadEnd(buffer, scannedUpTo); end != 0;
         end = FindHeadEnd(buffer, scannedUpTo)) {
      heads.push_back(buffer.substr(0, end));
      buffer.erase(0, end);
      scannedUpTo = 0;
    }
  }
  return heads;
}

void CheckHeadShape(std::string_view head) {
  const bool blankLine = head.ends_with("\n\n") || head.ends_with("\n\r\n");
  FUZZ_CHECK(blankLine, "a head that does not end with an empty line");
  FUZZ_CHECK(FindHeadEnd(head.substr(0, head.size() - 1), 0) == 0, "not the first empty line");
}

void CheckRoute(std::string_view head) {
  const RoutedRequest request = RouteRequest(head);
  const bool getOrHead = request.route == Route::kTimePage || request.route == Route::kNotFound;
  FUZZ_CHECK(request.route != Route::kHeadTooLarge, "the size limit is not the parser's");
  FUZZ_CHECK((request.route == Route::kTimePage) == (getOrHead && request.path == kTimePagePath),
             "the time page routed by another path");
  FUZZ_CHECK(!request.headOnly || getOrHead, "HEAD of a request that is not answered");
  FUZZ_CHECK(!request.keepAlive || getOrHead, "a refused request keeps the connection");
  if (request.route == Route::kBadRequest) FUZZ_CHECK(request.path.empty(), "bad request path");
  for (const char c : request.path) {
    const auto u = static_cast<unsigned char>(c);
    FUZZ_CHECK(u > 0x20 && u != 0x7f && c != '?' && c != '#', "a path with a stray byte");
  }
  const Response reply = ErrorResponse(request.route, Second{std::chrono::seconds{1'800'000'000}},
                                       request.keepAlive ? ConnectionHeader::kKeepAlive
                                                         : ConnectionHeader::kClose);
  FUZZ_CHECK(reply.headerLength <= reply.bytes.size(), "reply header length");
  FUZZ_CHECK(std::string_view{reply.bytes}.starts_with("HTTP/1.1 "), "reply status line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<std::size_t> pieceSizes(
      static_cast<std::size_t>(provider.ConsumeIntegralInRange<int>(1, kMaxPieceSizes)));
  for (std::size_t& pieceSize : pieceSizes) {
    pieceSize = provider.ConsumeIntegralInRange<std::size_t>(1, kMaxPieceSize);
  }
  const std::string bytes = provider.ConsumeRemainingBytesAsString();

  const std::vector<std::string> whole = HeadsOfWhole(bytes);
  FUZZ_CHECK(HeadsOfPieces(bytes, pieceSizes) == whole, "the heads depend on how bytes arrive");
  for (const std::string& head : whole) {
    CheckHeadShape(head);
    CheckRoute(head);
  }
  CheckRoute(bytes);  // the parser also meets whatever a head may hold
  return 0;
}
