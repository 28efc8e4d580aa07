#pragma once

// The listening socket of the time-page server and the text of the addresses it reports.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "UniqueFd.h"

namespace tidewell::timepage {

// The listening address could not be set up; what() is one line for the operator.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A non-blocking socket bound to `literal` (an IPv4 or IPv6 address without brackets) and
// `port` and listening. Throws ListenError naming the endpoint and the system's reason.
UniqueFd OpenListener(const std::string& literal, std::uint16_t port);

// "127.0.0.1:8037" or "[::1]:8037": where a bound socket really is (the port a port of 0 got).
std::string LocalEndpoint(int fd);

// "127.0.0.1:8037" or "[::1]:8037" for an address literal and a port.
std::string DisplayEndpoint(const std::string& literal, std::uint16_t port);

}  // namespace tidewell::timepage
