#pragma once

// The download contract that the page download relies on, as one table of pages: a body of any
// size and framing comes whole and in order; a reply with an error status gives its body like
// any other; an address that nothing answers fails; the limits cut a stalled, slow or oversized
// download and keep what came. The scripted server serves each page at "/<name>"
// (DownloadPages.h); each platform's tests download them through its internet functions and
// check the outcome (DownloadContract.h). Plain data, so that the Windows test program can share
// it with the native server.

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "DownloadLimits.h"

namespace tidewell::test {

// How the server sends a page's body.
enum class Delivery {
  kWhole,           // with its Content-Length, in one write, with the case's status
  kInPieces,        // with its Content-Length, one write per piece, `pause` apart
  kChunked,         // one chunk per piece, `pause` apart
  kUntilClose,      // no length: the connection's close ends it
  kDripping,        // one byte every `pause`
  kStalling,        // the first piece, then nothing for a minute
  kNeverAnswering,  // the request is read and never answered
  kNoServer,        // nothing listens: the address is http://127.0.0.1:1/<name>
};

struct DownloadCase {
  const char* name;  // a test name and the page's path
  Delivery delivery;
  std::size_t bodySize;                  // the body is PatternBody(bodySize)
  int status = 200;                      // of a whole body; another gives its body like any other
  std::vector<std::size_t> pieces = {};  // sizes of the writes; the rest in a last one
  std::chrono::milliseconds pause{0};
  DownloadLimits limits = {};

  // What must come of it: whether the address opens, how much of the body (a prefix of it, or
  // all of it when both bounds are bodySize) and how long the download takes.
  bool opens = true;
  std::size_t leastBody = bodySize;
  std::size_t mostBody = bodySize;
  std::chrono::milliseconds shortest{0};
  std::chrono::milliseconds longest{std::chrono::seconds(10)};
  // Wine (8.0) does not apply WinInet's receive time-outs: there the case cannot be checked.
  bool needsReceiveTimeout = false;
};

// Names the case in test output instead of dumping its bytes.
inline void PrintTo(const DownloadCase& downloadCase, std::ostream* out) {
  *out << downloadCase.name;
}

// Every byte value, in an order that differs with the size, so that a lost, doubled or
// re-ordered piece shows and two bodies of different sizes differ from their first byte.
inline std::string PatternBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    body[i] = static_cast<char>((i * 7 + i / 256 + size) % 256);
  }
  return body;
}

// A page whose server falls silent, after the first of `pieces` or before it answers at all: the
// stall limit of a second ends the download within `longest`, keeping the `kept` bytes that came.
inline DownloadCase Stalled(const char* name, Delivery delivery, std::size_t bodySize,
                            std::vector<std::size_t> pieces, bool opens, std::size_t kept,
                            std::chrono::milliseconds longest) {
  using std::chrono::milliseconds;
  return {.name = name,
          .delivery = delivery,
          .bodySize = bodySize,
          .pieces = std::move(pieces),
          .limits = {.stallTime = std::chrono::seconds(1)},
          .opens = opens,
          .leastBody = kept,
          .mostBody = kept,
          .shortest = milliseconds(900),
          .longest = longest,
          .needsReceiveTimeout = true};
}

inline const std::vector<DownloadCase>& DownloadCases() {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  static const std::vector<DownloadCase> cases = {
      {"empty", Delivery::kWhole, 0},
      {"one_byte", Delivery::kWhole, 1},
      {"exactly_one_chunk", Delivery::kWhole, 2048},
      {"one_chunk_and_a_byte", Delivery::kWhole, 2049},
      {"bytes_5000", Delivery::kWhole, 5000},
      {.name = "bytes_5000_in_odd_pieces",
       .delivery = Delivery::kInPieces,
       .bodySize = 5000,
       .pieces = {1, 999, 2048, 3},
       .pause = milliseconds(10)},
      {.name = "bytes_5000_chunked",
       .delivery = Delivery::kChunked,
       .bodySize = 5000,
       .pieces = {700, 2100},
       .pause = milliseconds(10)},
      {"empty_chunked", Delivery::kChunked, 0},
      {.name = "bytes_5000_until_close",
       .delivery = Delivery::kUntilClose,
       .bodySize = 5000,
       .pieces = {4000},
       .pause = milliseconds(10)},
      {"kib_200", Delivery::kWhole, 200 * 1024},
      {.name = "not_found", .delivery = Delivery::kWhole, .bodySize = 25, .status = 404},
      {.name = "server_error", .delivery = Delivery::kWhole, .bodySize = 25, .status = 500},
      {.name = "no_server",
       .delivery = Delivery::kNoServer,
       .bodySize = 0,
       .opens = false,
       .longest = seconds(2)},
      Stalled("never_answers", Delivery::kNeverAnswering, 0, {}, /*opens=*/false, 0, seconds(4)),
      Stalled("stalls_after_100", Delivery::kStalling, 150, {100}, /*opens=*/true, 100, seconds(6)),
      // The stall limit stays at its 15 s: only the overall deadline can end the wait for a reply
      // (which WinINet under Wine bounds by no time-out of its own).
      {.name = "never_answers_past_the_deadline",
       .delivery = Delivery::kNeverAnswering,
       .bodySize = 0,
       .limits = {.overallDeadline = milliseconds(2000)},
       .opens = false,
       .shortest = milliseconds(1900),
       .longest = seconds(6)},
      // 50 bytes a second for 40 seconds: only the deadline can end it in time.
      {.name = "drips_past_the_deadline",
       .delivery = Delivery::kDripping,
       .bodySize = 2000,
       .pause = milliseconds(20),
       .limits = {.overallDeadline = milliseconds(1500)},
       .leastBody = 1,
       .mostBody = 1999,
       .shortest = milliseconds(1400),
       .longest = seconds(6)},
      // Not a multiple of the 2048-byte read: the last read is cut short.
      {.name = "over_the_size_cap",
       .delivery = Delivery::kWhole,
       .bodySize = 300'000,
       .limits = {.sizeCap = 100'000},
       .leastBody = 100'000,
       .mostBody = 100'000},
  };
  return cases;
}

}  // namespace tidewell::test
