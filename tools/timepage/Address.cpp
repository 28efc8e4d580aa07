#include "Address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tidewell::timepage {
namespace {

constexpr int kListenBacklog = 4096;

std::string Bracketed(const char* v6, std::uint16_t port) {
  return std::string{"["} + v6 + "]:" + std::to_string(port);
}

// The address to bind, from a literal that the options have already checked.
sockaddr_storage SocketAddress(const std::string& literal, std::uint16_t port, socklen_t* length) {
  sockaddr_storage address{};
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  if (::inet_pton(AF_INET, literal.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    *length = sizeof v4;
    return address;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (::inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    *length = sizeof v6;
    return address;
  }
  throw ListenError("'" + literal + "' is not an IPv4 or IPv6 address");
}

}  // namespace

std::string DisplayEndpoint(const std::string& literal, std::uint16_t port) {
  if (literal.find(':') != std::string::npos) return Bracketed(literal.c_str(), port);
  return literal + ":" + std::to_string(port);
}

UniqueFd OpenListener(const std::string& literal, std::uint16_t port) {
  socklen_t length = 0;
  const sockaddr_storage address = SocketAddress(literal, port, &length);
  UniqueFd listener{::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  const int on = 1;
  // Lets a restarted server take its port back at once from connections still in TIME_WAIT.
  if (listener.valid()) ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!listener.valid() ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(listener.get(), kListenBacklog) != 0) {
    throw ListenError("cannot listen on " + DisplayEndpoint(literal, port) + ": " +
                      std::strerror(errno));
  }
  return listener;
}

std::string LocalEndpoint(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    return Bracketed(text, ntohs(v6.sin6_port));
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  return std::string{text} + ":" + std::to_string(ntohs(v4.sin_port));
}

}  // namespace tidewell::timepage
