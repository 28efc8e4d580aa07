#pragma once

// One client of the time-page server and the steps of its exchange: reading a request head,
// taking it, writing the reply and, after the last reply, waiting for the client to close. Which
// second it is answered at and what the event set watches for it are the server's business.

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
// A moment on the steady clock, on which time-outs are measured.
using Mono = std::chrono::steady_clock::time_point;

enum class WriteState {
  kDone,        // all written (and, after the last reply, our side shut)
  kWouldBlock,  // the socket is full: write the rest when it is writable again
  kFailed,      // the peer is gone or the socket broke: drop the connection
};

// Writes `pieces` as if they were one from `*written` on, advancing `*written` past what the
// socket took: a shared page with the lines of one reply in its middle goes out in one system
// call. After the last reply it shuts our sending side, and the bytes are held back until then
// so that the tail of the reply and the end of the stream leave in one segment: a crowd at a
// boundary costs one packet per client instead of two. Never raises SIGPIPE.
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

enum class ReadOutcome {
  kIncomplete,  // no whole head yet: wait for more
  kHead,        // a head, or more than a head may hold, is at the front of the input
  kGone,        // the client closed or the socket broke before a head was complete
};

class Connection {
 public:
  // Asks the kernel to stamp the data it receives for the socket, so that a head is known to
  // have come when it came, not when a busy server got round to reading it.
  explicit Connection(UniqueFd socket);

  int fd() const { return socket_.get(); }
  Phase phase() const { return phase_; }
  const RoutedRequest& request() const { return request_; }
  // Whether the reply being prepared is the last on this connection.
  AfterReply after() const { return keepOpen_ ? AfterReply::kKeepOpen : AfterReply::kClose; }

  // Kept by the server: the epoll events asked for now, and when the connection is dropped
  // unless it gets further first.
  std::uint32_t watched = 0;
  std::optional<Mono> deadline;

  ReadOutcome ReadHead();
  // Whether the next head is already in the input: a client that did not wait for the replies.
  bool HasBufferedHead();
  // Takes the head at the front of the input: routes it and counts it against the connection.
  void TakeHead();
  void Park() { phase_ = Phase::kParked; }
  // The client shut its sending side (or closed altogether: the two look the same until a
  // reply is written), so unless the next request is here already the reply is the last.
  void NoteClientDoneSending();

  // Puts `reply`, showing second `served`, on the wire as far as the socket takes it. With `age`
  // (how far the served clock is past `served` now) the reply carries its figures: that age, and
  // how long the request was held since its head was complete.
  WriteState StartReply(std::shared_ptr<const Response> reply, Second served,
                        std::optional<std::chrono::nanoseconds> age);
  WriteState ContinueWriting();
  // All written: a kept connection goes back to reading, any other lingers.
  void FinishReply();
  // Reads and drops what a lingering client still sends; true once the client has closed.
  bool DrainLingering();

  // "served 2026-12-07T11:20:33Z /cgi-bin/timer.pl 200\n" for the reply being sent.
  std::string LogLine() const;

 private:
  // Frames the request at the front of the input, scanning from `from`; whether there is one
  // to take (a head, or more than a head may hold).
  bool FindHead(std::size_t from);

  UniqueFd socket_;
  Phase phase_ = Phase::kReadingHead;
  std::string input_;
  Mono receivedAt_{};   // when the last bytes of input_ came (the kernel's stamp)
  Mono headAt_{};       // when the head being answered was complete
  RequestFrame frame_;  // the request found at the front of input_
  RoutedRequest request_;
  std::shared_ptr<const Response> reply_;
  // The lines of this reply alone, written into the shared page at reply_->figuresAt.
  std::array<char, kReplyFiguresCapacity> figures_{};
  std::size_t figuresLength_ = 0;
  std::size_t replyLength_ = 0;
  std::size_t written_ = 0;
  Second served_{};
  unsigned answered_ = 0;  // requests answered or being answered on this connection
  bool keepOpen_ = false;
  bool clientDone_ = false;  // the client's side of the stream has ended
};

}  // namespace tidewell::timepage
