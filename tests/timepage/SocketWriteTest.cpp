// Writing a reply that the socket takes only in parts, and ending it.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <string>
#include <string_view>

#include "Connection.h"

namespace tidewell::timepage {
namespace {

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds_), 0);
    // The smallest buffers the kernel allows, so a modest reply already fills them.
    const int small = 1;
    ::setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  void TearDown() override {
    for (int& fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  int writer() const { return fds_[0]; }
  int reader() const { return fds_[1]; }
  void CloseReader() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

  // Writes the reply (a string or its pieces) until WriteReply is done, reading up to `chunk`
  // bytes into `received` each time the socket is full. Gives how often it was full.
  template <typename Reply>
  int WriteWhileReading(const Reply& reply, std::size_t total, std::size_t chunk,
                        std::size_t* written, std::string* received) {
    std::string buffer(chunk, '\0');
    int blocked = 0;
    for (int round = 0; round < 100'000; ++round) {
      const WriteState state = WriteReply(writer(), reply, written);
      if (state == WriteState::kDone) break;
      EXPECT_NE(state, WriteState::kFailed);
      EXPECT_LT(*written, total);
      if (state == WriteState::kFailed || *written >= total) break;
      ++blocked;
      const ssize_t got = ::recv(reader(), buffer.data(), buffer.size(), 0);
      if (got > 0) received->append(buffer.data(), static_cast<std::size_t>(got));
    }
    return blocked;
  }

  // Reads what is left into `received`; true when the stream then ends (rather than failing).
  bool ReadToEnd(std::string* received) {
    for (;;) {
      char chunk[65536];
      const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
      if (got <= 0) return got == 0;
      received->append(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST_F(SocketPair, AReplyLargerThanTheSocketArrivesWholeInOrderAndThenEnds) {
  std::string reply;
  for (int i = 0; reply.size() < 1'000'000; ++i) reply += std::to_string(i) + ",";
  std::size_t written = 0;
  std::string received;
  const int blocked = WriteWhileReading(reply, reply.size(), 65536, &written, &received);
  EXPECT_EQ(written, reply.size());
  EXPECT_GT(blocked, 0) << "the socket never filled: the test proves nothing";
  const bool ended = ReadToEnd(&received);
  EXPECT_EQ(received, reply);
  EXPECT_TRUE(ended) << "the writing side was not shut after the reply";
}

TEST_F(SocketPair, AReplyInPiecesArrivesAsOneWhereverTheSocketCutsIt) {
  // A shared page with the lines of one reply written into its middle, larger than the socket.
  std::string page;
  for (int i = 0; page.size() < 300'000; ++i) page += std::to_string(i) + ",";
  const std::string lines = "Server-Timing: hold;dur=1.000, age;dur=2.000\r\n";
  const std::size_t split = 123'457;
  const std::string_view pieces[] = {std::string_view{page}.substr(0, split), lines,
                                     std::string_view{page}.substr(split)};
  const std::string whole = page.substr(0, split) + lines + page.substr(split);

  std::size_t written = 0;
  std::string received;
  // Small reads, so the socket cuts the pieces in many places.
  const int blocked = WriteWhileReading(std::span<const std::string_view>{pieces}, whole.size(),
                                        4096, &written, &received);
  EXPECT_EQ(written, whole.size());
  EXPECT_GT(blocked, 0) << "the socket never filled: the test proves nothing";
  ReadToEnd(&received);
  EXPECT_TRUE(received == whole) << "the pieces came back changed";
}

TEST_F(SocketPair, AShortReplyIsFollowedByTheEndOfTheStream) {
  std::size_t written = 0;
  ASSERT_EQ(WriteReply(writer(), "HTTP/1.1 200 OK\r\n\r\n", &written), WriteState::kDone);
  char chunk[256];
  const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
  EXPECT_EQ(std::string(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0))),
            "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(::recv(reader(), chunk, sizeof chunk, 0), 0);
}

TEST_F(SocketPair, AReplyOnAKeptConnectionArrivesAtOnceAndTheStreamStaysOpen) {
  std::size_t written = 0;
  ASSERT_EQ(WriteReply(writer(), "HTTP/1.1 200 OK\r\n\r\n", &written, AfterReply::kKeepOpen),
            WriteState::kDone);
  EXPECT_EQ(written, 19u);
  char chunk[256];
  const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
  EXPECT_EQ(std::string(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0))),
            "HTTP/1.1 200 OK\r\n\r\n");
  // Nothing more, and no end of the stream: the next reply can follow.
  errno = 0;
  EXPECT_EQ(::recv(reader(), chunk, sizeof chunk, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
  written = 0;
  ASSERT_EQ(WriteReply(writer(), "next", &written, AfterReply::kKeepOpen), WriteState::kDone);
  EXPECT_EQ(::recv(reader(), chunk, sizeof chunk, 0), 4);
}

TEST_F(SocketPair, APeerThatIsGoneIsAFailureNotASignal) {
  CloseReader();
  std::size_t written = 0;
  // With SIGPIPE left at its default this would end the test program.
  EXPECT_EQ(WriteReply(writer(), "HTTP/1.1 200 OK\r\n\r\n", &written), WriteState::kFailed);
}

TEST_F(SocketPair, NothingLeftToWriteIsDoneAndEnds) {
  std::size_t written = 5;
  EXPECT_EQ(WriteReply(writer(), "hello", &written), WriteState::kDone);
  EXPECT_EQ(written, 5u);
  char byte;
  EXPECT_EQ(::recv(reader(), &byte, 1, 0), 0);
}

}  // namespace
}  // namespace tidewell::timepage
