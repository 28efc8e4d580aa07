// Writing a reply that the socket takes only in parts, and ending it.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "SocketWrite.h"

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

 private:
  int fds_[2] = {-1, -1};
};

TEST_F(SocketPair, AReplyLargerThanTheSocketArrivesWholeInOrderAndThenEnds) {
  std::string reply;
  for (int i = 0; reply.size() < 1'000'000; ++i) reply += std::to_string(i) + ",";
  std::size_t written = 0;
  std::string received;
  int blocked = 0;
  for (int round = 0; round < 100'000; ++round) {
    const WriteState state = WriteReply(writer(), reply, &written);
    ASSERT_NE(state, WriteState::kFailed);
    if (state == WriteState::kDone) break;
    ++blocked;
    ASSERT_LT(written, reply.size());
    char chunk[65536];
    const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
    if (got > 0) received.append(chunk, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(written, reply.size());
  EXPECT_GT(blocked, 0) << "the socket never filled: the test proves nothing";
  bool ended = false;
  for (;;) {
    char chunk[65536];
    const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
    ended = got == 0;
    if (got <= 0) break;
    received.append(chunk, static_cast<std::size_t>(got));
  }
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
  int blocked = 0;
  for (int round = 0; round < 100'000; ++round) {
    const WriteState state = WriteReply(writer(), pieces, &written);
    ASSERT_NE(state, WriteState::kFailed);
    if (state == WriteState::kDone) break;
    ++blocked;
    char chunk[4096];  // small reads, so the socket cuts the pieces in many places
    const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
    if (got > 0) received.append(chunk, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(written, whole.size());
  EXPECT_GT(blocked, 0) << "the socket never filled: the test proves nothing";
  for (;;) {
    char chunk[65536];
    const ssize_t got = ::recv(reader(), chunk, sizeof chunk, 0);
    if (got <= 0) break;
    received.append(chunk, static_cast<std::size_t>(got));
  }
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
