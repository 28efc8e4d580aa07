#include "ServerHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>

namespace timepage_test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartLimit = 5s;
constexpr auto kStopLimit = 5s;
constexpr auto kReplyLimit = 5s;
constexpr std::string_view kListeningPrefix = "listening on ";

// Reads what is there within `wait`; false at end of file or on error.
bool ReadSome(int fd, std::string* into, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return true;
  char chunk[4096];
  const ssize_t got = ::read(fd, chunk, sizeof chunk);
  if (got <= 0) return false;
  into->append(chunk, static_cast<std::size_t>(got));
  return true;
}

void ReadToEnd(int fd, std::string* into, Instant until) {
  while (RealNow() < until) {
    if (!ReadSome(fd, into, 50ms)) return;
  }
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(std::string_view text, std::string_view spaces = " ") {
  const std::size_t first = text.find_first_not_of(spaces);
  if (first == std::string_view::npos) return "";
  const std::size_t last = text.find_last_not_of(spaces);
  return std::string{text.substr(first, last - first + 1)};
}

// Whether `raw` holds a whole reply; fills `reply` once it does.
bool ReplyComplete(const std::string& raw, bool headOnly) {
  const std::size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return false;
  if (headOnly) return true;
  const HttpReply parsed = ParseReply(raw, headOnly);
  return parsed.complete;
}

}  // namespace

Instant RealNow() { return std::chrono::time_point_cast<std::chrono::nanoseconds>(Clock::now()); }

Instant SleepUntilPhase(std::chrono::nanoseconds phase) {
  const Instant now = RealNow();
  Instant target = std::chrono::floor<std::chrono::seconds>(now) + phase;
  if (target <= now) target += 1s;
  const auto since = target.time_since_epoch();
  const auto whole = std::chrono::floor<std::chrono::seconds>(since);
  const timespec at{static_cast<time_t>(whole.count()),
                    static_cast<long>(std::chrono::nanoseconds{since - whole}.count())};
  while (::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
  return RealNow();
}

ServerProcess::ServerProcess(std::vector<std::string> args) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
  args.insert(args.begin(), TIMEPAGE_BINARY);
  process_ = std::make_unique<tidewell::test::BackgroundProcess>(
      args, tidewell::test::ChildSetup{{}, -1, out[1], err[1], -1});
  ::close(out[1]);
  ::close(err[1]);
  stdout_ = out[0];
  stderr_ = err[0];

  const Instant until = RealNow() + kStartLimit;
  std::size_t newline = std::string::npos;
  while ((newline = pendingOut_.find('\n')) == std::string::npos && RealNow() < until) {
    if (!ReadSome(stdout_, &pendingOut_, 50ms)) break;
  }
  if (newline == std::string::npos) return;
  listeningLine_ = pendingOut_.substr(0, newline);
  pendingOut_.erase(0, newline + 1);
  const std::size_t colon = listeningLine_.rfind(':');
  if (listeningLine_.starts_with(kListeningPrefix) && colon != std::string::npos) {
    port_ = static_cast<std::uint16_t>(std::stoi(listeningLine_.substr(colon + 1)));
  }
  // Written before the listening line, so all there by now.
  startupErr_ = Stderr();
  errText_.clear();
}

ServerProcess::~ServerProcess() {
  process_.reset();
  if (stdout_ >= 0) ::close(stdout_);
  if (stderr_ >= 0) ::close(stderr_);
}

std::vector<std::string> ServerProcess::ReadLines(std::size_t count,
                                                  std::chrono::milliseconds wait) {
  const Instant until = RealNow() + wait;
  auto lineCount = [&] {
    return static_cast<std::size_t>(std::count(pendingOut_.begin(), pendingOut_.end(), '\n'));
  };
  while (lineCount() < count && RealNow() < until) {
    if (!ReadSome(stdout_, &pendingOut_, 20ms)) break;
  }
  std::vector<std::string> lines;
  std::size_t newline;
  while ((newline = pendingOut_.find('\n')) != std::string::npos) {
    lines.push_back(pendingOut_.substr(0, newline));
    pendingOut_.erase(0, newline + 1);
  }
  return lines;
}

bool ServerProcess::LimitOpenFiles(unsigned count) {
  const rlimit limit{count, count};
  return process_ && ::prlimit(process_->pid(), RLIMIT_NOFILE, &limit, nullptr) == 0;
}

ChildResult ServerProcess::Stop(int signal) {
  if (!process_) return {};
  const ChildResult result =
      process_->Stop(signal, std::chrono::duration_cast<std::chrono::milliseconds>(kStopLimit));
  ReadToEnd(stderr_, &errText_, RealNow() + 1s);
  return result;
}

std::string ServerProcess::Stderr() {
  for (;;) {
    pollfd p{stderr_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !ReadSome(stderr_, &errText_, 0ms)) break;
  }
  return errText_;
}

ChildResult RunToExit(std::vector<std::string> args, std::chrono::milliseconds limit) {
  args.insert(args.begin(), TIMEPAGE_BINARY);
  return tidewell::test::RunChild(args, {}, limit);
}

HttpReply ParseReply(const std::string& raw, bool headOnly) {
  HttpReply reply;
  const std::size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return reply;
  const std::string head = raw.substr(0, headEnd);
  std::size_t lineStart = head.find("\r\n");
  const std::string statusLine = head.substr(0, lineStart);
  if (!statusLine.starts_with("HTTP/1.1 ") || statusLine.size() < 12) return reply;
  reply.status = std::stoi(statusLine.substr(9, 3));
  while (lineStart != std::string::npos) {
    lineStart += 2;
    const std::size_t lineEnd = head.find("\r\n", lineStart);
    const std::string line = head.substr(lineStart, lineEnd - lineStart);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      reply.headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
    }
    lineStart = lineEnd;
  }
  reply.body = raw.substr(headEnd + 4);
  const auto length = reply.headers.find("content-length");
  if (length == reply.headers.end()) return reply;
  const std::size_t expected = std::stoul(length->second);
  reply.complete = headOnly ? reply.body.empty() : reply.body.size() == expected;
  return reply;
}

int ConnectLoopback(std::uint16_t port, bool v6) {
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const timeval limit{static_cast<time_t>(kReplyLimit.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  int connected = -1;
  if (v6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (connected != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

ssize_t ReceiveStamped(int fd, char* buffer, std::size_t size, Instant* arrivedAt) {
  iovec part{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = ::recvmsg(fd, &message, 0);
  *arrivedAt = RealNow();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); got > 0 && c != nullptr;
       c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      if (stamp.tv_sec != 0) {
        *arrivedAt =
            Instant{std::chrono::seconds{stamp.tv_sec} + std::chrono::nanoseconds{stamp.tv_nsec}};
      }
    }
  }
  return got;
}

HttpReply ReadReply(int fd, bool headOnly) {
  std::string raw;
  std::optional<Instant> completeAt;
  for (;;) {
    char chunk[4096];
    Instant arrivedAt;
    const ssize_t got = ReceiveStamped(fd, chunk, sizeof chunk, &arrivedAt);
    if (got <= 0) break;  // the server's close, or the receive time-out
    raw.append(chunk, static_cast<std::size_t>(got));
    if (!completeAt && ReplyComplete(raw, headOnly)) completeAt = arrivedAt;
  }
  HttpReply reply = ParseReply(raw, headOnly);
  if (completeAt) reply.receivedAt = *completeAt;
  return reply;
}

HttpReply Fetch(std::uint16_t port, std::string_view request, bool v6) {
  const int fd = ConnectLoopback(port, v6);
  if (fd < 0) return {};
  HttpReply reply;
  if (SendAll(fd, request)) reply = ReadReply(fd, request.starts_with("HEAD "));
  ::close(fd);
  return reply;
}

std::string GetRequest(std::string_view target) {
  return "GET " + std::string{target} +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: VB Project\r\nConnection: close\r\n\r\n";
}

std::string PersistentRequest(std::string_view method, std::string_view target) {
  return std::string{method} + " " + std::string{target} +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: VB Project\r\n\r\n";
}

namespace {

// The length of the first whole reply at the front of `raw`, or 0 while it is not all there.
std::size_t WholeReplyLength(const std::string& raw, bool headOnly) {
  const std::size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return 0;
  const std::size_t headLength = headEnd + 4;
  if (headOnly) return headLength;
  const HttpReply head = ParseReply(raw.substr(0, headLength), true);
  const auto length = head.headers.find("content-length");
  if (length == head.headers.end()) return 0;
  const std::size_t total = headLength + std::stoul(length->second);
  return raw.size() >= total ? total : 0;
}

}  // namespace

HttpReply ReplyStream::Next(bool headOnly) {
  for (;;) {
    if (const std::size_t length = WholeReplyLength(pending_, headOnly); length != 0) {
      HttpReply reply = ParseReply(pending_.substr(0, length), headOnly);
      reply.receivedAt = lastArrival_;
      pending_.erase(0, length);
      return reply;
    }
    char chunk[4096];
    Instant arrivedAt;
    const ssize_t got = ReceiveStamped(fd_, chunk, sizeof chunk, &arrivedAt);
    if (got <= 0) return ParseReply(pending_, headOnly);  // ended or timed out: incomplete
    pending_.append(chunk, static_cast<std::size_t>(got));
    lastArrival_ = arrivedAt;
  }
}

bool ReplyStream::EndsWithin(std::chrono::milliseconds wait) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
  if (got > 0) pending_.append(chunk, static_cast<std::size_t>(got));
  return got == 0;
}

std::optional<Second> PageSecond(const std::string& body, Instant near) {
  static constexpr std::array<std::string_view, 12> kMonths = {"Jan.", "Feb.", "Mar.", "Apr.",
                                                               "May.", "Jun.", "Jul.", "Aug.",
                                                               "Sep.", "Oct.", "Nov.", "Dec."};
  const std::size_t marker = body.find("Universal");
  if (marker == std::string::npos) return std::nullopt;
  const std::size_t comma = body.rfind(',', marker);
  if (comma == std::string::npos || comma < 8) return std::nullopt;
  const std::string time = Trim(std::string_view{body}.substr(comma + 1, marker - comma - 1));
  int hour = 0, minute = 0, second = 0;
  if (time.size() != 8 || std::sscanf(time.c_str(), "%2d:%2d:%2d", &hour, &minute, &second) != 3) {
    return std::nullopt;
  }
  // "Dec. 07" stands right before the comma.
  const std::string_view date = std::string_view{body}.substr(comma - 7, 7);
  const auto month = std::find(kMonths.begin(), kMonths.end(), date.substr(0, 4));
  if (month == kMonths.end() || date[4] != ' ') return std::nullopt;
  const int day = std::stoi(std::string{date.substr(5, 2)});

  const int nearYear = static_cast<int>(
      std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(near)}.year());
  std::optional<Second> best;
  for (int year = nearYear - 1; year <= nearYear + 1; ++year) {
    const std::chrono::year_month_day ymd{
        std::chrono::year{year},
        std::chrono::month{static_cast<unsigned>(month - kMonths.begin() + 1)},
        std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok()) continue;
    const Second candidate = std::chrono::sys_days{ymd} + std::chrono::hours{hour} +
                             std::chrono::minutes{minute} + std::chrono::seconds{second};
    if (!best || std::chrono::abs(candidate - near) < std::chrono::abs(*best - near)) {
      best = candidate;
    }
  }
  return best;
}

std::optional<Second> HttpDateSecond(const std::string& value) {
  std::tm parts{};
  const char* end = ::strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return Second{std::chrono::seconds{::timegm(&parts)}};
}

std::string Header(const HttpReply& reply, const std::string& name) {
  const auto found = reply.headers.find(name);
  return found == reply.headers.end() ? "" : found->second;
}

Second ServedSecond(const HttpReply& reply) {
  EXPECT_TRUE(reply.complete);
  EXPECT_EQ(reply.status, 200);
  const auto page = PageSecond(reply.body, reply.receivedAt);
  const auto date = HttpDateSecond(Header(reply, "date"));
  EXPECT_TRUE(page.has_value()) << reply.body;
  EXPECT_TRUE(date.has_value());
  EXPECT_EQ(page, date) << "the Date header and the page disagree";
  return page.value_or(Second{});
}

}  // namespace timepage_test
