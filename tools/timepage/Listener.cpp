#include "Listener.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Address.h"

namespace tidewell::timepage {
namespace {

using namespace std::chrono_literals;

constexpr auto kAcceptPause = 100ms;

void Report(const char* what) {
  std::fprintf(stderr, "tidewell-timepage: %s: %s\n", what, std::strerror(errno));
}

}  // namespace

Listener::Listener(EventSet& events, const std::string& literal, std::uint16_t port,
                   std::uint64_t tag)
    : events_(events), socket_(OpenListener(literal, port)), tag_(tag) {
  if (!events_.Add(socket_.get(), EPOLLIN, tag_)) {
    throw ListenError(std::string{"cannot watch the listener: "} + std::strerror(errno));
  }
}

std::string Listener::Endpoint() const { return LocalEndpoint(socket_.get()); }

Listener::Accepted Listener::Accept() {
  for (;;) {
    UniqueFd client{::accept4(socket_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)};
    if (client.valid()) return {Outcome::kClient, std::move(client)};
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      return {Outcome::kOutOfDescriptors, {}};
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) Report("accepting a client failed");
    return {Outcome::kNoneWaiting, {}};
  }
}

void Listener::Pause() {
  if (pausedUntil_) return;
  if (!events_.Remove(socket_.get())) Report("cannot pause accepting clients");
  pausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
}

void Listener::ResumeWhenDue(Mono now) {
  if (!pausedUntil_ || now < *pausedUntil_) return;
  // EEXIST: it stayed in the set because the pause could not take it out.
  if (!events_.Add(socket_.get(), EPOLLIN, tag_) && errno != EEXIST) {
    Report("cannot resume accepting clients, trying again shortly");
    pausedUntil_ = now + kAcceptPause;
    return;
  }
  pausedUntil_.reset();
}

}  // namespace tidewell::timepage
