#pragma once

// Writing a reply to a non-blocking socket that may take only part of it at a time.

#include <cstddef>
#include <span>
#include <string_view>

namespace tidewell::timepage {

enum class WriteState {
  kDone,        // all written (and our side shut if that was asked for)
  kWouldBlock,  // the socket is full: write the rest when it is writable again
  kFailed,      // the peer is gone or the socket broke: drop the connection
};

// What becomes of the connection once the reply is written.
enum class AfterReply {
  kShut,      // the last reply on it: our sending side is shut
  kKeepOpen,  // a persistent connection: the next request may follow on it
};

// Writes `bytes` from `*written` on, advancing `*written` past what the socket took. With kShut,
// once all is written it shuts our sending side, and the bytes are held back until then so that
// the tail of the reply and the end of the stream leave in one segment: the client, which reads
// until the end, has all of it at once, and a crowd at a boundary costs the network stack one
// packet per client instead of two. With kKeepOpen nothing is held back and the connection stays
// open. Never raises SIGPIPE: a peer that has gone is kFailed.
WriteState WriteReply(int fd, std::string_view bytes, std::size_t* written,
                      AfterReply after = AfterReply::kShut);

// The same for a reply in pieces, written as if they were one (`*written` counts through all of
// them): a shared page with the lines of one reply in its middle goes out in one system call,
// without being copied together first.
WriteState WriteReply(int fd, std::span<const std::string_view> pieces, std::size_t* written,
                      AfterReply after = AfterReply::kShut);

}  // namespace tidewell::timepage
