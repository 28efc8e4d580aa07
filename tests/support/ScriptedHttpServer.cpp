#include "ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace tidewell::test {
namespace {

// Every blocking wait is cut into slices this long, so that stopping is noticed quickly.
constexpr int kWaitSliceMs = 20;
constexpr std::size_t kMaxRequestHeadBytes = 64 * 1024;
constexpr std::size_t kReceiveChunk = 4096;
constexpr int kListenBacklog = 64;
constexpr const char* kHeadEnd = "\r\n\r\n";

std::string ToLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

RecordedRequest ParseRequestHead(const std::string& head) {
  RecordedRequest request;
  std::size_t lineStart = 0;
  bool first = true;
  while (lineStart < head.size()) {
    std::size_t lineEnd = head.find("\r\n", lineStart);
    if (lineEnd == std::string::npos) lineEnd = head.size();
    const std::string_view line(head.data() + lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 2;
    if (first) {
      first = false;
      request.requestLine = std::string(line);
      const auto methodEnd = line.find(' ');
      const auto targetEnd =
          line.find(' ', methodEnd == std::string_view::npos ? 0 : methodEnd + 1);
      if (methodEnd != std::string_view::npos) {
        request.method = std::string(line.substr(0, methodEnd));
        request.target = std::string(line.substr(methodEnd + 1, targetEnd - methodEnd - 1));
      }
      continue;
    }
    if (line.empty()) break;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
  return request;
}

std::string Hex(std::size_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%zx", value);
  return text;
}

std::size_t BodySize(const ScriptedReply& reply) {
  std::size_t size = 0;
  for (const auto& piece : reply.pieces) size += piece.size();
  return size;
}

std::string Head(const ScriptedReply& reply, ScriptedReply::Framing framing) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
  head += "Connection: close\r\n";
  if (framing == ScriptedReply::Framing::kContentLength) {
    head += "Content-Length: " + std::to_string(BodySize(reply)) + "\r\n";
  } else if (framing == ScriptedReply::Framing::kChunked) {
    head += "Transfer-Encoding: chunked\r\n";
  }
  for (const auto& line : reply.headers) head += line + "\r\n";
  head += "\r\n";
  return head;
}

void ResetConnection(int socket) {
  const linger abort{1, 0};  // close with RST instead of FIN
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

}  // namespace

ScriptedReply ScriptedReply::Body(std::string body, Framing framing) {
  ScriptedReply reply;
  reply.framing = framing;
  if (!body.empty()) reply.pieces.push_back(std::move(body));
  return reply;
}

ScriptedReply ScriptedReply::WithStatus(int status, std::string reason, std::string body) {
  ScriptedReply reply = Body(std::move(body));
  reply.status = status;
  reply.reason = std::move(reason);
  return reply;
}

ScriptedReply ScriptedReply::Split(const std::string& body, const std::vector<std::size_t>& sizes,
                                   std::chrono::milliseconds pause, Framing framing) {
  ScriptedReply reply;
  reply.framing = framing;
  reply.pauseBetweenPieces = pause;
  std::size_t offset = 0;
  for (const std::size_t size : sizes) {
    if (offset >= body.size()) break;
    reply.pieces.push_back(body.substr(offset, size));
    offset += size;
  }
  if (offset < body.size()) reply.pieces.push_back(body.substr(offset));
  return reply;
}

ScriptedReply ScriptedReply::Drip(const std::string& body, std::chrono::milliseconds interval) {
  return Split(body, std::vector<std::size_t>(body.size(), 1), interval);
}

ScriptedReply ScriptedReply::Endless(std::string piece, std::chrono::milliseconds interval,
                                     Framing framing) {
  ScriptedReply reply = Body(std::move(piece), framing);
  reply.pauseBetweenPieces = interval;
  reply.endless = true;
  return reply;
}

ScriptedReply ScriptedReply::ResetAfter(std::string body, std::size_t bytes) {
  ScriptedReply reply = Body(std::move(body));
  reply.resetAfterBodyBytes = bytes;
  return reply;
}

ScriptedReply ScriptedReply::NeverAnswer() {
  ScriptedReply reply;
  reply.neverAnswer = true;
  return reply;
}

ScriptedReply ScriptedReply::Redirect(int status, std::string location) {
  ScriptedReply reply = WithStatus(status, "Moved", "moved");
  reply.headers.push_back("Location: " + location);
  return reply;
}

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  const std::string wanted = ToLower(name);
  for (const auto& [key, value] : headers) {
    if (ToLower(key) == wanted) return value;
  }
  return std::nullopt;
}

ScriptedHttpServer::ScriptedHttpServer() : ScriptedHttpServer("127.0.0.1", 0) {}

ScriptedHttpServer::ScriptedHttpServer(const std::string& ipv4Address, std::uint16_t port)
    : address_(ipv4Address) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("test server: no socket");
  const int reuse = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);  // 0: any free port
  socklen_t length = sizeof address;
  if (inet_pton(AF_INET, ipv4Address.c_str(), &address.sin_addr) != 1 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, kListenBacklog) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener_);
    throw std::runtime_error("test server: cannot listen on " + ipv4Address);
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() { Stop(); }

void ScriptedHttpServer::Serve(const std::string& target, ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  replies_[target] = std::move(reply);
}

void ScriptedHttpServer::ServeOtherwise(ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  otherwise_ = std::move(reply);
}

std::string ScriptedHttpServer::Url(const std::string& path) const {
  return "http://" + address_ + ":" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> ScriptedHttpServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool ScriptedHttpServer::WaitForRequests(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void ScriptedHttpServer::Stop() {
  if (stopping_.exchange(true)) return;
  changed_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection.join();
  close(listener_);
}

void ScriptedHttpServer::AcceptLoop() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, kWaitSliceMs) <= 0) continue;
    const int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, socket] { ServeConnection(socket); });
  }
}

void ScriptedHttpServer::ServeConnection(int socket) {
  std::string head;
  char chunk[kReceiveChunk];
  while (!stopping_ && head.find(kHeadEnd) == std::string::npos &&
         head.size() < kMaxRequestHeadBytes) {
    pollfd waiting{socket, POLLIN, 0};
    if (poll(&waiting, 1, kWaitSliceMs) <= 0) continue;
    const ssize_t received = recv(socket, chunk, sizeof chunk, 0);
    if (received <= 0) break;
    head.append(chunk, static_cast<std::size_t>(received));
  }
  if (head.find(kHeadEnd) != std::string::npos) {
    RecordedRequest request = ParseRequestHead(head.substr(0, head.find(kHeadEnd)));
    const ScriptedReply reply = ReplyFor(request.target);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
    }
    changed_.notify_all();
    SendReply(socket, reply);
  }
  close(socket);
}

ScriptedReply ScriptedHttpServer::ReplyFor(const std::string& target) const {
  std::lock_guard lock(mutex_);
  const auto found = replies_.find(target);
  if (found != replies_.end()) return found->second;
  if (otherwise_) return *otherwise_;
  return ScriptedReply::WithStatus(404, "Not Found", "");
}

bool ScriptedHttpServer::PauseUnlessStopping(std::chrono::milliseconds pause) const {
  if (pause.count() <= 0) return !stopping_;
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, pause, [&] { return stopping_.load(); });
}

bool ScriptedHttpServer::SendAll(int socket, std::string_view bytes) const {
  while (!bytes.empty()) {
    if (stopping_) return false;
    pollfd waiting{socket, POLLOUT, 0};
    const int ready = poll(&waiting, 1, kWaitSliceMs);
    if (ready < 0) return false;
    if (ready == 0) continue;
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

void ScriptedHttpServer::SendReply(int socket, const ScriptedReply& reply) const {
  if (reply.neverAnswer) {
    HoldUntilClientLeaves(socket);
    return;
  }
  if (!PauseUnlessStopping(reply.pauseBeforeReply)) return;

  ScriptedReply::Framing framing = reply.framing;
  if (reply.endless && framing == ScriptedReply::Framing::kContentLength) {
    framing = ScriptedReply::Framing::kUntilClose;
  }
  if (!SendAll(socket, Head(reply, framing))) return;

  const bool chunked = framing == ScriptedReply::Framing::kChunked;
  std::size_t bodySent = 0;
  bool firstPiece = true;
  do {
    for (std::string_view piece : reply.pieces) {
      if (!firstPiece && !PauseUnlessStopping(reply.pauseBetweenPieces)) return;
      firstPiece = false;
      if (reply.resetAfterBodyBytes) {
        const std::size_t allowed = *reply.resetAfterBodyBytes - bodySent;
        if (piece.size() >= allowed) {
          piece = piece.substr(0, allowed);
          if (!SendAll(socket, chunked ? Hex(piece.size()) + "\r\n" + std::string(piece) : piece)) {
            return;
          }
          PauseUnlessStopping(reply.pauseBeforeReset);
          ResetConnection(socket);
          return;
        }
      }
      const std::string framed =
          chunked ? Hex(piece.size()) + "\r\n" + std::string(piece) + "\r\n" : std::string(piece);
      if (!SendAll(socket, framed)) return;
      bodySent += piece.size();
      if (bodySent >= kEndlessBodyLimit) return;
    }
  } while (reply.endless && !reply.pieces.empty());

  if (chunked && !SendAll(socket, "0\r\n\r\n")) return;
  // Close gently: let the client see the end of the body before the socket goes.
  shutdown(socket, SHUT_WR);
  HoldUntilClientLeaves(socket);
}

void ScriptedHttpServer::HoldUntilClientLeaves(int socket) const {
  char chunk[kReceiveChunk];
  while (!stopping_) {
    pollfd waiting{socket, POLLIN, 0};
    const int ready = poll(&waiting, 1, kWaitSliceMs);
    if (ready < 0) return;
    if (ready > 0 && recv(socket, chunk, sizeof chunk, 0) <= 0) return;  // the client left
  }
}

}  // namespace tidewell::test
