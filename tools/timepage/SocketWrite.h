#pragma once

// Writing a reply to a non-blocking socket that may take only part of it at a time.

#include <cstddef>
#include <string_view>

namespace tidewell::timepage {

enum class WriteState {
  kDone,        // all written and our side shut: the client sees the end of the reply
  kWouldBlock,  // the socket is full: write the rest when it is writable again
  kFailed,      // the peer is gone or the socket broke: drop the connection
};

// Writes `bytes` from `*written` on, advancing `*written` past what the socket took. Once all
// is written it shuts our sending side, and the bytes are held back until then so that the
// tail of the reply and the end of the stream leave in one segment: the client, which reads
// until the end, has all of it at once, and a crowd at a boundary costs the network stack one
// packet per client instead of two. Never raises SIGPIPE: a peer that has gone is kFailed.
WriteState WriteReply(int fd, std::string_view bytes, std::size_t* written);

}  // namespace tidewell::timepage
