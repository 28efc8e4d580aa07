#pragma once

// The TLS front of the time-page server as it is shipped (packaging/nginx), run on loopback for
// the tests and the benchmark: nginx with the shipped configuration, in which only the listen
// address, the back ends and the certificate are the caller's; and certificates for it made with
// openssl.

#include <cstdint>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace tidewell::test {

// Makes in `folder` (which must exist): ca.pem and ca.key, a CA; other-ca.pem, another; and
// server.key with server.pem, for `address` (and localhost), from the CA, and other-server.pem, the same from
// the other CA. Throws std::runtime_error when openssl fails.
void MakeFrontCertificates(const std::string& folder, const std::string& address);

// The shipped configuration with the listen lines, the upstream servers (ADDRESS:PORT) and the
// certificate and key replaced: what the tests serve is otherwise the file as it is installed.
std::string FrontConfiguration(const std::string& shipped, const std::string& address,
                               std::uint16_t port, const std::vector<std::string>& backEnds,
                               const std::string& certificate, const std::string& key);

class TlsFront {
 public:
  // nginx with its prefix, configuration, pid file and logs in `prefix` (created here), in the
  // foreground, as user 65534 when started by root; returns once it listens on `address`:`port`.
  // Throws std::runtime_error when it does not within five seconds.
  TlsFront(const std::string& prefix, const std::string& address, std::uint16_t port,
           const std::vector<std::string>& backEnds, const std::string& certificate,
           const std::string& key);

 private:
  std::string prefix_;
  BackgroundProcess process_;
};

}  // namespace tidewell::test
