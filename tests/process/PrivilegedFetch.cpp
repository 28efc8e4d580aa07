// Downloads the address it is given through the Linux platform, as the programs would, and
// prints what came of it: whether the process runs secure (AT_SECURE), which of the caller's
// variables it still sees once the platform is made, the body and the failure. The privileged
// run test gives a copy of it a file capability inside a user namespace of its own.
//
// usage: privileged_fetch ADDRESS
#include <cstdio>
#include <cstdlib>

#include "LinuxPlatform.h"
#include "TimeCore.h"

namespace {

// The variables through which a caller could steer where the time comes from or how it is read.
constexpr const char* kSteering[] = {"TZ",           "SSLKEYLOGFILE", "RES_OPTIONS",
                                     "LOCALDOMAIN",  "HOSTALIASES",   "LOCPATH",
                                     "GCONV_PATH",   "TZDIR",         "DBUS_SYSTEM_BUS_ADDRESS",
                                     "SSL_CERT_FILE"};

class Downloader : public tidewell::TimeCore {
 public:
  using TimeCore::GetUrlText;
  using TimeCore::TimeCore;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: privileged_fetch ADDRESS\n", stderr);
    return 2;
  }
  tidewell::LinuxPlatform platform;
  std::printf("secure=%d\n", tidewell::RunsWithMorePrivilegeThanItsUser() ? 1 : 0);
  for (const char* name : kSteering) {
    const char* value = std::getenv(name);
    std::printf("%s=%s\n", name, value == nullptr ? "<unset>" : value);
  }
  Downloader downloader(platform);
  const tidewell::UrlText page = downloader.GetUrlText(argv[1]);
  std::printf("body=%s\nfailure=%s\n", page.text.c_str(), page.failure.c_str());
  return 0;
}
