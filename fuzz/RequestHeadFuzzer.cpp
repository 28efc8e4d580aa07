// The time-page server's request framing and parser on arbitrary bytes from the network. The
// bytes go through FrameRequest twice, as a connection takes them: all at once, and in pieces
// cut where the input says, as reads from a socket would deliver them. Both ways must take the
// same heads and end the same way (read on, too large, or no more requests); each head must
// end at its first empty line and route to a consistent answer.

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "FuzzCheck.h"
#include "HttpExchange.h"

namespace {

using namespace tidewell::timepage;

constexpr int kMaxPieceSizes = 8;
constexpr std::size_t kMaxPieceSize = 300;
// Padding in front of the bytes, so that heads beyond the size limit are reached without
// inputs of that size.
constexpr std::size_t kMaxFiller = 3 * kMaxRequestHead;

// One step of a connection: a head taken, or how the framing ended.
struct Step {
  Framing framing;
  std::size_t headLength;
  bool last;
  friend bool operator==(const Step&, const Step&) = default;
};

// A connection's state as the server keeps it: the bytes not yet taken and the count.
class Connection {
 public:
  explicit Connection(unsigned answeredSoFar) : answered_(answeredSoFar) {}

  // Frames from `scannedUpTo`, then takes every head already there, as the server does after
  // each reply; false once the connection takes no more requests.
  bool Frame(std::size_t scannedUpTo) {
    for (RequestFrame frame = FrameRequest(buffer_, scannedUpTo, answered_);;
         frame = FrameRequest(buffer_, 0, answered_)) {
      if (frame.framing == Framing::kNeedMore) return true;
      steps_.push_back({frame.framing, frame.headLength, frame.last});
      if (frame.framing != Framing::kHead) return false;
      const std::string head = buffer_.substr(0, frame.headLength);
      heads_.push_back(head);
      buffer_.erase(0, frame.headLength);
      ++answered_;
      if (frame.last || !RouteRequest(head).keepAlive) return false;
    }
  }

  std::string& buffer() { return buffer_; }
  unsigned answered() const { return answered_; }
  const std::vector<Step>& steps() const { return steps_; }
  const std::vector<std::string>& heads() const { return heads_; }

 private:
  std::string buffer_;
  unsigned answered_;
  std::vector<Step> steps_;
  std::vector<std::string> heads_;
};

Connection TakeWhole(std::string_view bytes, unsigned answeredSoFar) {
  Connection connection(answeredSoFar);
  connection.buffer() = bytes;
  if (!bytes.empty()) connection.Frame(0);  // as in pieces, where only a read starts framing
  return connection;
}

// Each new piece is framed from where the previous scan ended.
Connection TakeInPieces(std::string_view bytes, const std::vector<std::size_t>& pieceSizes,
                        unsigned answeredSoFar) {
  Connection connection(answeredSoFar);
  for (std::size_t piece = 0; !bytes.empty(); ++piece) {
    const std::size_t size = std::min(pieceSizes[piece % pieceSizes.size()], bytes.size());
    const std::size_t scannedUpTo = connection.buffer().size();
    connection.buffer().append(bytes.substr(0, size));
    bytes.remove_prefix(size);
    if (!connection.Frame(scannedUpTo)) break;
  }
  return connection;
}

void CheckHead(std::string_view head) {
  const bool blankLine = head.ends_with("\n\n") || head.ends_with("\n\r\n");
  FUZZ_CHECK(blankLine, "a head that does not end with an empty line");
  FUZZ_CHECK(FindHeadEnd(head.substr(0, head.size() - 1), 0) == 0, "not the first empty line");
  FUZZ_CHECK(head.size() <= kMaxRequestHead, "a head beyond the size limit was taken");
}

void CheckSteps(const Connection& connection, unsigned answeredSoFar) {
  unsigned answered = answeredSoFar;
  for (const Step& step : connection.steps()) {
    if (step.framing == Framing::kHead) {
      ++answered;
      FUZZ_CHECK(step.last == (answered == kMaxRequestsPerConnection), "the last request");
    }
    if (step.framing == Framing::kConnectionSpent) {
      FUZZ_CHECK(answered >= kMaxRequestsPerConnection, "spent before its last request");
    }
  }
  FUZZ_CHECK(answered <= kMaxRequestsPerConnection, "more requests than a connection may carry");
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
  const Response reply =
      ResponseFor(request.route, Second{std::chrono::seconds{1'800'000'000}},
                  request.keepAlive ? AfterReply::kKeepOpen : AfterReply::kClose);
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
  const unsigned answeredSoFar =
      provider.ConsumeIntegralInRange<unsigned>(0, kMaxRequestsPerConnection);
  std::size_t filler = 0;
  if (provider.ConsumeIntegralInRange<int>(0, 7) == 0) {
    filler = provider.ConsumeIntegralInRange<std::size_t>(0, kMaxFiller);
  }
  const std::string bytes = std::string(filler, 'a') + provider.ConsumeRemainingBytesAsString();

  const Connection whole = TakeWhole(bytes, answeredSoFar);
  const Connection pieces = TakeInPieces(bytes, pieceSizes, answeredSoFar);
  FUZZ_CHECK(pieces.steps() == whole.steps(), "the framing depends on how the bytes arrive");
  CheckSteps(whole, answeredSoFar);
  for (const std::string& head : whole.heads()) {
    CheckHead(head);
    CheckRoute(head);
  }
  CheckRoute(bytes);  // the parser also meets whatever a head may hold
  return 0;
}
