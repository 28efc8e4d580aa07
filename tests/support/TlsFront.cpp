#include "TlsFront.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include "ScratchDirectory.h"
#include "TestCertificates.h"

namespace tidewell::test {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kUnprivileged = 65534;

// After the two CAs: the server certificate for $ADDRESS from each.
constexpr const char* kMakeServerCertificates = R"sh(
openssl req -new -key server.key -subj "/CN=$ADDRESS" -out server.csr
printf 'basicConstraints = CA:FALSE\nsubjectAltName = IP:%s,DNS:localhost\n' "$ADDRESS" > server.ext
sign() {  # CA OUTPUT
  openssl x509 -req -in server.csr -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -days 2 \
    -sha256 -extfile server.ext -out "$2"
}
sign ca server.pem
sign other-ca other-server.pem
chmod 644 ./*.pem ./*.key
)sh";

// The main block around the shipped http-level blocks: one worker, in the foreground, every
// file below the prefix.
constexpr const char* kMainBlock =
    "worker_processes 1;\n"
    "daemon off;\n"
    "pid nginx.pid;\n"
    "error_log error.log info;\n"
    "events { worker_connections 256; }\n"
    "http {\n"
    "  client_body_temp_path tmp/body;\n"
    "  proxy_temp_path tmp/proxy;\n"
    "  fastcgi_temp_path tmp/fastcgi;\n"
    "  uwsgi_temp_path tmp/uwsgi;\n"
    "  scgi_temp_path tmp/scgi;\n"
    "  include tidewell-timepage.conf;\n"
    "}\n";

std::string Replace(const std::string& text, const std::string& pattern,
                    const std::string& replacement) {
  const std::regex expression(pattern);
  if (!std::regex_search(text, expression)) {
    throw std::runtime_error("the shipped nginx configuration has no " + pattern);
  }
  return std::regex_replace(text, expression, replacement, std::regex_constants::format_first_only);
}

void HandOver(const std::filesystem::path& root) {
  if (geteuid() != 0) return;
  chown(root.c_str(), kUnprivileged, kUnprivileged);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    chown(entry.path().c_str(), kUnprivileged, kUnprivileged);
  }
}

std::vector<std::string> NginxCommand(const std::string& prefix) {
  std::vector<std::string> command{
      "nginx", "-p", prefix, "-c", prefix + "/nginx.conf", "-e", prefix + "/error.log"};
  if (geteuid() != 0) return command;
  // As user 65534 nginx keeps no root powers at all; the test ports are above 1024.
  command.insert(command.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  return command;
}

std::string Prepared(const std::string& prefix, const std::string& configuration) {
  std::filesystem::create_directories(prefix + "/tmp");
  WriteWholeFile(prefix + "/nginx.conf", kMainBlock);
  WriteWholeFile(prefix + "/tidewell-timepage.conf", configuration);
  HandOver(prefix);
  return prefix;
}

}  // namespace

void MakeFrontCertificates(const std::string& folder, const std::string& address) {
  const ChildResult made =
      RunChild({"/bin/sh", "-c", std::string(kMakeTwoCas) + kMakeServerCertificates},
               {"DIR=" + folder, "ADDRESS=" + address}, 60s, "", true);
  if (made.exitStatus != 0) {
    throw std::runtime_error("openssl could not make the certificates: " + made.standardOutput);
  }
}

std::string FrontConfiguration(const std::string& shipped, const std::string& address,
                               std::uint16_t port, const std::vector<std::string>& backEnds,
                               const std::string& certificate, const std::string& key) {
  std::string servers;
  for (const std::string& backEnd : backEnds) servers += "    server " + backEnd + ";\n";
  std::string text = Replace(shipped, R"((    server [^;\n]+;\n)+)", servers);
  text = Replace(text, R"(listen 443 ssl;)",
                 "listen " + address + ":" + std::to_string(port) + " ssl;");
  text = Replace(text, R"(    listen \[::\]:443 ssl;\n)", "");
  text = Replace(text, R"(ssl_certificate [^;]+;)", "ssl_certificate " + certificate + ";");
  return Replace(text, R"(ssl_certificate_key [^;]+;)", "ssl_certificate_key " + key + ";");
}

TlsFront::TlsFront(const std::string& prefix, const std::string& address, std::uint16_t port,
                   const std::vector<std::string>& backEnds, const std::string& certificate,
                   const std::string& key)
    : prefix_(Prepared(prefix, FrontConfiguration(ReadWholeFile(TIDEWELL_NGINX_CONFIGURATION),
                                                  address, port, backEnds, certificate, key))),
      process_(NginxCommand(prefix_), EnvironmentChanges{}, prefix_ + "/nginx.out") {
  // nginx writes its pid file once it listens.
  for (int i = 0; i < 250 && ReadWholeFile(prefix_ + "/nginx.pid").empty(); ++i) {
    if (!process_.Running()) break;
    std::this_thread::sleep_for(20ms);
  }
  if (ReadWholeFile(prefix_ + "/nginx.pid").empty()) {
    throw std::runtime_error("nginx did not start: " + ReadWholeFile(prefix_ + "/error.log") +
                             ReadWholeFile(prefix_ + "/nginx.out"));
  }
}

}  // namespace tidewell::test
