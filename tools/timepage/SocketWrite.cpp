#include "SocketWrite.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>

namespace tidewell::timepage {
namespace {

// A reply is a page with at most a few lines written into it.
constexpr std::size_t kMaxPieces = 4;

// The pieces from `skip` bytes on, as the vector of one send.
std::size_t GatherFrom(std::span<const std::string_view> pieces, std::size_t skip,
                       std::array<iovec, kMaxPieces>& vector) {
  std::size_t count = 0;
  for (const std::string_view piece : pieces) {
    if (skip >= piece.size()) {
      skip -= piece.size();
      continue;
    }
    vector[count++] = iovec{const_cast<char*>(piece.data()) + skip, piece.size() - skip};
    skip = 0;
  }
  return count;
}

}  // namespace

WriteState WriteReply(int fd, std::string_view bytes, std::size_t* written, AfterReply after) {
  return WriteReply(fd, std::span<const std::string_view>{&bytes, 1}, written, after);
}

WriteState WriteReply(int fd, std::span<const std::string_view> pieces, std::size_t* written,
                      AfterReply after) {
  if (pieces.size() > kMaxPieces) return WriteState::kFailed;
  const bool shut = after == AfterReply::kShut;
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (shut ? MSG_MORE : 0);
  std::size_t total = 0;
  for (const std::string_view piece : pieces) total += piece.size();
  while (*written < total) {
    std::array<iovec, kMaxPieces> vector{};
    msghdr message{};
    message.msg_iov = vector.data();
    message.msg_iovlen = GatherFrom(pieces, *written, vector);
    const ssize_t sent = ::sendmsg(fd, &message, flags);
    if (sent >= 0) {
      *written += static_cast<std::size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WriteState::kWouldBlock;
    return WriteState::kFailed;
  }
  if (!shut) return WriteState::kDone;
  // Pushes out what MSG_MORE held back, with the FIN on it.
  if (::shutdown(fd, SHUT_WR) != 0) return WriteState::kFailed;
  return WriteState::kDone;
}

}  // namespace tidewell::timepage
