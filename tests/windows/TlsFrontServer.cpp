// windows-test-front: the shipped nginx TLS front on loopback for the Wine tests, in front of a
// time-page server already running. Makes its certificates with openssl in the folder given (the
// CA in ca.pem, its certificate in ca.der for the Windows store), prints
// "listening on 127.0.0.1:PORT" once nginx listens, and serves until SIGTERM or SIGINT, when it
// stops nginx.
//   windows-test-front --port PORT --back-end PORT --certificates DIR
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "ChildProcess.h"
#include "TlsFront.h"

namespace {

constexpr const char* kAddress = "127.0.0.1";

int Usage() {
  std::fprintf(stderr,
               "usage: windows-test-front --port PORT --back-end PORT --certificates DIR\n");
  return 2;
}

// The CA as Windows imports it: DER.
void WriteDerCa(const std::string& folder) {
  const tidewell::test::ChildResult converted =
      tidewell::test::RunChild({"openssl", "x509", "-in", folder + "/ca.pem", "-outform", "DER",
                                "-out", folder + "/ca.der"});
  if (converted.exitStatus != 0) throw std::runtime_error("openssl could not write ca.der");
}

}  // namespace

int main(int argc, char** argv) {
  std::string port, backEnd, folder;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--port")
      port = argv[i + 1];
    else if (option == "--back-end")
      backEnd = argv[i + 1];
    else if (option == "--certificates")
      folder = argv[i + 1];
    else
      return Usage();
  }
  if (port.empty() || backEnd.empty() || folder.empty()) return Usage();

  // Blocked before anything starts, so the stop is taken here and nginx is stopped with it.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  try {
    std::filesystem::create_directories(folder);
    tidewell::test::MakeFrontCertificates(folder, kAddress);
    WriteDerCa(folder);
    const tidewell::test::TlsFront front(
        folder + "/nginx", kAddress, static_cast<std::uint16_t>(std::stoi(port)),
        {std::string(kAddress) + ":" + backEnd}, folder + "/server.pem", folder + "/server.key");
    std::printf("listening on %s:%s\n", kAddress, port.c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stops, &signal);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "windows-test-front: %s\n", failure.what());
    return 1;
  }
  return 0;
}
