#pragma once

// One client of the time-page server: reading a request head, writing the reply and, after the
// last reply, waiting for the client to close. When it is answered is the server's business.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "HttpExchange.h"
#include "UniqueFd.h"

namespace tidewell::timepage {

using tools::UniqueFd;
using Mono = std::chrono::steady_clock::time_point;

enum class WriteState { kDone, kWouldBlock, kFailed };

// Writes `pieces` as one from `*written` on, in one system call. After the last reply it shuts
// our side, holding the bytes back till then: the tail and the end leave in one segment.
WriteState WriteReply(int fd, std::span<const std::string_view> pieces, std::size_t* written,
                      AfterReply after = AfterReply::kClose);
inline WriteState WriteReply(int fd, std::string_view bytes, std::size_t* written,
                             AfterReply after = AfterReply::kClose) {
  return WriteReply(fd, std::span<const std::string_view>{&bytes, 1}, written, after);
}

enum class Phase {
  kReadingHead,  // waiting for a request head (the first or the next), under the header time-out
  kParked,       // waiting for its second; only a hang-up is watched
  kWriting,      // the socket took part of the reply; the rest goes when it is writable
  kLingering,    // last reply sent and our side shut: waiting for the client to close
};

// kHead: a head, or more than a head may hold, is at the front of the input.
enum class ReadOutcome { kIncomplete, kHead, kGone };

class Connection {
 public:
  // Asks the kernel to stamp the data it receives, so that a head counts from when it came, not
  // from when a busy server got round to reading it.
  explicit Connection(UniqueFd socket);

  int fd() const { return socket_.get(); }
  Phase phase() const { return phase_; }
  const RoutedRequest& request() const { return request_; }
  AfterReply after() const { return keepOpen_ ? AfterReply::kKeepOpen : AfterReply::kClose; }

  // Kept by the server: the epoll events asked for, and when the connection times out.
  std::uint32_t watched = 0;
  std::optional<Mono> deadline;

  ReadOutcome ReadHead();
  bool HasBufferedHead();
  void TakeHead();
  void Park() { phase_ = Phase::kParked; }
  // The client shut its sending side, or closed: the two look the same until a reply is written.
  void NoteClientDoneSending();

  // With `age` (of the page, on the served clock), the reply carries its figures.
  WriteState StartReply(std::shared_ptr<const Response> reply, Second served,
                        std::optional<std::chrono::nanoseconds> age);
  WriteState ContinueWriting();
  void FinishReply();
  // True once a lingering client has closed.
  bool DrainLingering();

  // "served 2026-12-07T11:20:33Z /cgi-bin/timer.pl 200\n"
  std::string LogLine() const;

 private:
  bool FindHead(std::size_t from);

  UniqueFd socket_;
  Phase phase_ = Phase::kReadingHead;
  std::string input_;
  Mono receivedAt_{};  // when the last bytes of input_ came (the kernel's stamp)
  Mono headAt_{};      // when the head being answered was complete
  RequestFrame frame_;
  RoutedRequest request_;
  std::shared_ptr<const Response> reply_;
  std::array<char, kReplyFiguresCapacity> figures_{};
  std::size_t figuresLength_ = 0;
  std::size_t replyLength_ = 0;
  std::size_t written_ = 0;
  Second served_{};
  unsigned answered_ = 0;  // requests taken on this connection
  bool keepOpen_ = false;
  bool clientDone_ = false;  // the client's side of the stream has ended
};

}  // namespace tidewell::timepage
