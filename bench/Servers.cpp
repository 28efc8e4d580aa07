#include "Servers.h"

#include <unistd.h>

#include <filesystem>
#include <regex>
#include <stdexcept>

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kUnprivileged = 65534;

// One worker, like the single-threaded time-page server it is set beside.
constexpr const char* kMainBlock =
    "worker_processes 1;\n"
    "daemon off;\n"
    "pid nginx.pid;\n"
    "error_log error.log warn;\n"
    "events { worker_connections 4096; }\n";

constexpr const char* kTempPaths =
    "  access_log off;\n"
    "  client_body_temp_path tmp/body;\n"
    "  proxy_temp_path tmp/proxy;\n"
    "  fastcgi_temp_path tmp/fastcgi;\n"
    "  uwsgi_temp_path tmp/uwsgi;\n"
    "  scgi_temp_path tmp/scgi;\n";

// Refuses any listen line that is not on loopback: this nginx must never face a network.
void RequireLoopbackOnly(const std::string& httpBlock) {
  static const std::regex listen(R"(listen\s+([^;\s]+))");
  for (auto it = std::sregex_iterator(httpBlock.begin(), httpBlock.end(), listen);
       it != std::sregex_iterator(); ++it) {
    if ((*it)[1].str().rfind("127.", 0) != 0) {
      throw std::runtime_error("nginx listen address is not on loopback: " + (*it)[1].str());
    }
  }
}

void HandOver(const std::filesystem::path& root) {
  chown(root.c_str(), kUnprivileged, kUnprivileged);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    chown(entry.path().c_str(), kUnprivileged, kUnprivileged);
  }
}

}  // namespace

std::string PageUrl(int port) {
  return std::string("http://") + kAddress + ":" + std::to_string(port) + kPagePath;
}

std::unique_ptr<BackgroundProcess> StartTimepage(const Tools& tools, const Scratch& scratch,
                                                 const std::string& name,
                                                 const std::string& address, int port,
                                                 const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {tools.timepage, "--bind", address, "--port",
                                      std::to_string(port)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const std::string output = scratch.Path(name + ".out");
  auto server = std::make_unique<BackgroundProcess>(command, test::EnvironmentChanges{}, output);
  if (!server->WaitForOutput("listening on", 5s)) {
    throw std::runtime_error("tidewell-timepage did not start on " + address + ":" +
                             std::to_string(port) + ": " + ReadWholeFile(output));
  }
  return server;
}

Nginx::Nginx(const Scratch& scratch, const std::string& name, const std::string& httpBlock,
             const std::string& address, int port,
             const std::vector<std::pair<std::string, std::string>>& files)
    : prefix_(scratch.Path(name)) {
  RequireLoopbackOnly(httpBlock);
  std::filesystem::create_directories(prefix_ + "/tmp");
  std::filesystem::create_directories(prefix_ + "/html");
  for (const auto& [path, content] : files) {
    const std::filesystem::path where = prefix_ + "/html/" + path;
    std::filesystem::create_directories(where.parent_path());
    WriteWholeFile(where.string(), content);
  }
  WriteWholeFile(prefix_ + "/nginx.conf",
                 std::string(kMainBlock) + "http {\n" + kTempPaths + httpBlock + "}\n");
  HandOver(prefix_);
  // As user 65534 nginx keeps no root powers at all, and the ports are above 1024.
  process_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               "nginx", "-p", prefix_, "-c", prefix_ + "/nginx.conf", "-e",
                               prefix_ + "/error.log"},
      test::EnvironmentChanges{}, scratch.Path(name + ".out"));
  if (!WaitForListener(address, port, 5s)) {
    throw std::runtime_error("nginx did not start on " + address + ":" + std::to_string(port) +
                             ": " + ReadWholeFile(prefix_ + "/error.log") +
                             ReadWholeFile(scratch.Path(name + ".out")));
  }
}

Nginx::~Nginx() { process_->Stop(); }

std::string NginxVersion(const Scratch& scratch) {
  const Captured version = RunAndCapture({"nginx", "-v"}, 5s, scratch.Path("nginx-version.out"));
  std::string text = version.output;
  const std::size_t slash = text.find("nginx/");
  if (slash == std::string::npos) return "unknown";
  text = text.substr(slash + 6);
  return text.substr(0, text.find_first_of("\r\n "));
}

}  // namespace tidewell::bench
