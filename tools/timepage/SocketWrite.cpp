#include "SocketWrite.h"

#include <sys/socket.h>

#include <cerrno>

namespace tidewell::timepage {

WriteState WriteReply(int fd, std::string_view bytes, std::size_t* written, AfterReply after) {
  const bool shut = after == AfterReply::kShut;
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (shut ? MSG_MORE : 0);
  while (*written < bytes.size()) {
    const ssize_t sent = ::send(fd, bytes.data() + *written, bytes.size() - *written, flags);
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
