#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tidewell::test {

// What the server does with one request. The body goes out as `pieces`, one socket write each,
// with `pauseBetweenPieces` between writes; the helpers below build the common cases.
struct ScriptedReply {
  enum class Framing {
    kContentLength,  // Content-Length of the whole body
    kChunked,        // one chunk per piece
    kUntilClose,     // neither: the body ends when the connection closes
  };

  int status = 200;
  std::string reason = "OK";
  std::vector<std::string> headers;  // extra header lines, e.g. "Location: /there"
  Framing framing = Framing::kContentLength;
  std::chrono::milliseconds pauseBeforeReply{0};
  std::vector<std::string> pieces;
  std::chrono::milliseconds pauseBetweenPieces{0};
  // Sends the pieces over and over until the client goes away or the server stops (or a safety
  // bound of kEndlessBodyLimit bytes is reached). Content-Length framing becomes kUntilClose.
  bool endless = false;
  // After this many body bytes, waits pauseBeforeReset and resets the connection (RST).
  std::optional<std::size_t> resetAfterBodyBytes;
  std::chrono::milliseconds pauseBeforeReset{100};
  // Reads the request and then says nothing until the client leaves or the server stops.
  bool neverAnswer = false;

  static ScriptedReply Body(std::string body, Framing framing = Framing::kContentLength);
  static ScriptedReply WithStatus(int status, std::string reason, std::string body);
  // The body cut into writes of the given sizes (the rest in a last write), `pause` apart.
  static ScriptedReply Split(const std::string& body, const std::vector<std::size_t>& sizes,
                             std::chrono::milliseconds pause,
                             Framing framing = Framing::kContentLength);
  // One byte per write, `interval` apart.
  static ScriptedReply Drip(const std::string& body, std::chrono::milliseconds interval);
  static ScriptedReply Endless(std::string piece, std::chrono::milliseconds interval,
                               Framing framing = Framing::kChunked);
  static ScriptedReply ResetAfter(std::string body, std::size_t bytes);
  static ScriptedReply NeverAnswer();
  static ScriptedReply Redirect(int status, std::string location);
};

inline constexpr std::size_t kEndlessBodyLimit = std::size_t{256} * 1024 * 1024;

// One request as the server received it.
struct RecordedRequest {
  std::string requestLine;  // e.g. "GET /cgi-bin/timer.pl HTTP/1.1"
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed

  // The value of the first header of that name (any case), if there is one.
  std::optional<std::string> Header(std::string_view name) const;
};

// A scripted HTTP/1.1 server on 127.0.0.1 at a free port, for tests and benchmarks. Every
// connection gets one reply and is then closed; each is served on a thread of its own, so a held
// connection holds up nothing else. Stopping (or destroying) the server ends every connection.
class ScriptedHttpServer {
 public:
  ScriptedHttpServer();  // listens at once; throws std::runtime_error when it cannot
  // Listens on a chosen loopback address and port, e.g. the time host a test build of a
  // program was made for.
  ScriptedHttpServer(const std::string& ipv4Address, std::uint16_t port);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  // The reply for requests whose target is exactly `target` (a path, or an absolute address when
  // the server stands in as a proxy).
  void Serve(const std::string& target, ScriptedReply reply);
  // The reply for every other target; "404 Not Found" with an empty body unless set.
  void ServeOtherwise(ScriptedReply reply);

  std::uint16_t Port() const { return port_; }
  // "http://<address>:<port>" followed by `path`.
  std::string Url(const std::string& path) const;
  std::vector<RecordedRequest> Requests() const;
  // Waits until `count` requests were received, at most `timeout`; true when they were.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  void Stop();

 private:
  void AcceptLoop();
  void ServeConnection(int socket);
  ScriptedReply ReplyFor(const std::string& target) const;
  // Sleeps for `pause` unless the server stops first; false when it stopped.
  bool PauseUnlessStopping(std::chrono::milliseconds pause) const;
  bool SendAll(int socket, std::string_view bytes) const;
  void SendReply(int socket, const ScriptedReply& reply) const;
  void HoldUntilClientLeaves(int socket) const;

  int listener_ = -1;
  std::string address_ = "127.0.0.1";
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, ScriptedReply> replies_;
  std::optional<ScriptedReply> otherwise_;
  std::vector<RecordedRequest> requests_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace tidewell::test
