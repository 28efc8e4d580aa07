#include "Connection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tidewell::timepage {
namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMaxPieces = 4;  // a page with a few lines written into it

// A kernel stamp further back than this is not believed: the system clock has been stepped.
constexpr auto kLongestBelievedWait = std::chrono::seconds{60};

// When the data of `message` came, on the steady clock: the kernel's stamp on the system clock,
// carried over by how long ago that was; now when there is none.
Mono ArrivalOf(msghdr& message) {
  const Mono steadyNow = std::chrono::steady_clock::now();
  for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
       part = CMSG_NXTHDR(&message, part)) {
    if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
    const auto arrived =
        std::chrono::seconds{stamp.tv_sec} + std::chrono::nanoseconds{stamp.tv_nsec};
    const auto ago = std::chrono::system_clock::now().time_since_epoch() - arrived;
    if (ago < std::chrono::nanoseconds{0} || ago > kLongestBelievedWait) break;
    return steadyNow - std::chrono::duration_cast<Mono::duration>(ago);
  }
  return steadyNow;
}

}  // namespace

Connection::Connection(UniqueFd socket) : socket_(std::move(socket)) {
  const int on = 1;
  ::setsockopt(fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);  // without it: read times
}

ReadOutcome Connection::ReadHead() {
  for (;;) {
    char chunk[kReadChunk];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    iovec into{chunk, sizeof chunk};
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd(), &message, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadOutcome::kIncomplete;
    if (got <= 0) return ReadOutcome::kGone;  // between requests, a kept connection's normal end
    receivedAt_ = ArrivalOf(message);
    const std::size_t before = input_.size();
    input_.append(chunk, static_cast<std::size_t>(got));
    if (FindHead(before)) return ReadOutcome::kHead;
  }
}

bool Connection::HasBufferedHead() { return !input_.empty() && FindHead(0); }

bool Connection::FindHead(std::size_t from) {
  // What follows the head at the front is the next request, for when this one is answered.
  frame_ = FrameRequest(input_, from, answered_);
  return frame_.framing == Framing::kHead || frame_.framing == Framing::kHeadTooLarge;
}

void Connection::TakeHead() {
  // A head sent without waiting for the reply before it counts from when it was read.
  headAt_ = receivedAt_;
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

WriteState Connection::StartReply(std::shared_ptr<const Response> reply, Second served,
                                  std::optional<std::chrono::nanoseconds> age) {
  reply_ = std::move(reply);
  replyLength_ = request_.headOnly ? reply_->headerLength : reply_->bytes.size();
  const auto hold = std::chrono::steady_clock::now() - headAt_;
  figuresLength_ = age ? FormatReplyFigures(hold, *age, request_.preferNoHold, figures_) : 0;
  written_ = 0;
  served_ = served;
  const WriteState state = ContinueWriting();
  if (state == WriteState::kWouldBlock) phase_ = Phase::kWriting;
  return state;
}

WriteState Connection::ContinueWriting() {
  const std::string_view bytes{reply_->bytes.data(), replyLength_};
  const std::size_t split = std::min(reply_->figuresAt, bytes.size());
  const std::string_view pieces[] = {bytes.substr(0, split),
                                     std::string_view{figures_.data(), figuresLength_},
                                     bytes.substr(split)};
  return WriteReply(fd(), pieces, &written_, after());
}

void Connection::FinishReply() {
  reply_.reset();
  phase_ = keepOpen_ ? Phase::kReadingHead : Phase::kLingering;
}

bool Connection::DrainLingering() {
  char chunk[kReadChunk];
  ssize_t got = 0;
  while ((got = ::recv(fd(), chunk, sizeof chunk, 0)) > 0 || (got < 0 && errno == EINTR)) {
  }
  // Closed, or broken: either way the exchange is over.
  return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

std::string Connection::LogLine() const {
  // The path comes from the client: keep the log one line per reply whatever it holds.
  std::string path = request_.path.empty() ? "-" : request_.path;
  std::replace_if(
      path.begin(), path.end(), [](unsigned char c) { return c <= 0x20 || c >= 0x7f; }, '?');
  return "served " + LogStamp(served_) + " " + path + " " + std::to_string(reply_->status) + "\n";
}

WriteState WriteReply(int fd, std::span<const std::string_view> pieces, std::size_t* written,
                      AfterReply after) {
  if (pieces.size() > kMaxPieces) return WriteState::kFailed;
  const bool shut = after == AfterReply::kClose;
  for (;;) {
    // What is left of the pieces, as the vector of one send.
    std::array<iovec, kMaxPieces> vector{};
    msghdr message{};
    message.msg_iov = vector.data();
    std::size_t skip = *written;
    for (const std::string_view piece : pieces) {
      if (skip < piece.size()) {
        vector[message.msg_iovlen++] = {const_cast<char*>(piece.data()) + skip,
                                        piece.size() - skip};
      }
      skip -= std::min(skip, piece.size());
    }
    if (message.msg_iovlen == 0) break;
    const ssize_t sent =
        ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT | (shut ? MSG_MORE : 0));
    if (sent >= 0) {
      *written += static_cast<std::size_t>(sent);
    } else if (errno != EINTR) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? WriteState::kWouldBlock
                                                     : WriteState::kFailed;
    }
  }
  // Shutting pushes out what MSG_MORE held back, with the FIN on it.
  return shut && ::shutdown(fd, SHUT_WR) != 0 ? WriteState::kFailed : WriteState::kDone;
}

}  // namespace tidewell::timepage
