#pragma once

// The servers the benchmark runs: tidewell-timepage, and nginx (nginx-light) on a loopback
// address only, with a private configuration and prefix in the scratch directory, as user 65534,
// in the foreground. Both stop when their object goes.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Process.h"

namespace tidewell::bench {

// The time page's path, and the loopback address of the benchmark's own servers.
inline constexpr const char* kPagePath = "/cgi-bin/timer.pl";
inline constexpr const char* kAddress = TIDEWELL_BENCH_ACCURACY_ADDRESS;

// The time page on kAddress at `port`.
std::string PageUrl(int port);

// tidewell-timepage on `address`:`port` with `arguments` added (--offset, --immediate, ...);
// returns once it listens.
std::unique_ptr<BackgroundProcess> StartTimepage(const Tools& tools, const Scratch& scratch,
                                                 const std::string& name,
                                                 const std::string& address, int port,
                                                 const std::vector<std::string>& arguments);

class Nginx {
 public:
  // `httpBlock` is the inside of the http {} block: the server blocks and their settings. Its
  // listen lines must name a 127.x.y.z address. `files` go under the prefix's html/ (path below
  // it, content) before nginx starts.
  Nginx(const Scratch& scratch, const std::string& name, const std::string& httpBlock,
        const std::string& address, int port,
        const std::vector<std::pair<std::string, std::string>>& files = {});
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  std::string Prefix() const { return prefix_; }

 private:
  std::string prefix_;
  std::unique_ptr<BackgroundProcess> process_;
};

std::string NginxVersion(const Scratch& scratch);

}  // namespace tidewell::bench
