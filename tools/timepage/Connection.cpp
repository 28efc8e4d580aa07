#include "Connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <string_view>

namespace tidewell::timepage {
namespace {

constexpr std::size_t kReadChunk = 4096;

AfterReply AfterFor(bool keepOpen) { return keepOpen ? AfterReply::kKeepOpen : AfterReply::kShut; }

}  // namespace

ReadOutcome Connection::ReadHead() {
  for (;;) {
    char chunk[kReadChunk];
    const ssize_t got = ::recv(fd(), chunk, sizeof chunk, 0);
    if (got > 0) {
      const std::size_t before = input_.size();
      input_.append(chunk, static_cast<std::size_t>(got));
      if (FindHead(before)) return ReadOutcome::kHead;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadOutcome::kIncomplete;
    // Closed or broken before a head was complete; for a kept connection between requests,
    // this is the client's normal way of ending it.
    return ReadOutcome::kGone;
  }
}

bool Connection::HasBufferedHead() { return !input_.empty() && FindHead(0); }

bool Connection::FindHead(std::size_t from) {
  // Only the head at the front of the input counts: what follows it is the next request of
  // a client that did not wait for the reply, and stays for when this one is answered.
  frame_ = FrameRequest(input_, from, answered_);
  return frame_.framing == Framing::kHead || frame_.framing == Framing::kHeadTooLarge;
}

void Connection::TakeHead() {
  if (frame_.framing == Framing::kHead) {
    request_ = RouteRequest(std::string_view{input_}.substr(0, frame_.headLength));
    input_.erase(0, frame_.headLength);
  } else {
    request_ = RoutedRequest{Route::kHeadTooLarge, false, "", false};
  }
  ++answered_;
  keepOpen_ = request_.keepAlive && !frame_.last && !(clientDone_ && !HasBufferedHead());
  // A parked client should hold no buffer: free it unless it holds the next request.
  if (!keepOpen_ || input_.empty()) std::string{}.swap(input_);
}

void Connection::NoteClientDoneSending() {
  clientDone_ = true;
  if (phase_ == Phase::kParked && !HasBufferedHead()) keepOpen_ = false;
}

WriteState Connection::StartReply(std::shared_ptr<const Response> reply, Second served) {
  reply_ = std::move(reply);
  replyLength_ = request_.headOnly ? reply_->headerLength : reply_->bytes.size();
  written_ = 0;
  served_ = served;
  const WriteState state = WriteMore();
  if (state == WriteState::kWouldBlock) phase_ = Phase::kWriting;
  return state;
}

WriteState Connection::ContinueWriting() { return WriteMore(); }

WriteState Connection::WriteMore() {
  const std::string_view bytes{reply_->bytes.data(), replyLength_};
  return WriteReply(fd(), bytes, &written_, AfterFor(keepOpen_));
}

void Connection::FinishReply() {
  reply_.reset();
  phase_ = keepOpen_ ? Phase::kReadingHead : Phase::kLingering;
}

bool Connection::DrainLingering() {
  for (;;) {
    char chunk[kReadChunk];
    const ssize_t got = ::recv(fd(), chunk, sizeof chunk, 0);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    return true;  // the client closed: the exchange is over
  }
}

std::string Connection::LogLine() const {
  // The path comes from the client: keep the log one line per reply whatever it holds.
  std::string path = request_.path.empty() ? "-" : request_.path;
  for (char& c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) c = '?';
  }
  return "served " + LogStamp(served_) + " " + path + " " + std::to_string(reply_->status) + "\n";
}

}  // namespace tidewell::timepage
