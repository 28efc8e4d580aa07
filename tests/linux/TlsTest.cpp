// The download of an https time page against a loopback TLS server with certificates made here:
// the certificate and the host name are always checked, a failure says why, and an https page
// is never taken over plain http.
#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <optional>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "CurlInternet.h"
#include "ScopedEnvironment.h"
#include "ScratchDirectory.h"
#include "ScriptedHttpServer.h"
#include "TestCertificates.h"

namespace tidewell {
namespace {

using namespace std::chrono_literals;
using test::ScratchDirectory;

// After the two CAs of every certificate test, server certificates for 127.0.0.1: a sound one
// from the test CA, the same from the other CA, one for another host name, one that has expired
// and one not yet valid.
constexpr const char* kMakeServerCertificates = R"sh(
printf '%s\n' '[ca]' 'default_ca = test' '[test]' 'database = index.txt' 'new_certs_dir = .' \
  'serial = serial' 'default_md = sha256' 'policy = anything' 'unique_subject = no' \
  '[anything]' 'commonName = supplied' \
  '[loopback]' 'basicConstraints = CA:FALSE' 'subjectAltName = IP:127.0.0.1,DNS:localhost' \
  '[elsewhere]' 'basicConstraints = CA:FALSE' 'subjectAltName = DNS:elsewhere.test' > ca.cnf
: > index.txt
echo 01 > serial
sign() {  # NAME CA SUBJECT EXTENSIONS START END
  openssl req -new -key server.key -subj "/CN=$3" -out "$1.csr"
  openssl ca -batch -notext -config ca.cnf -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" \
    -out "$1.pem" -extensions "$4" -startdate "$5" -enddate "$6"
}
sign sound ca 127.0.0.1 loopback 20250101000000Z 20991231000000Z
sign other-ca other-ca 127.0.0.1 loopback 20250101000000Z 20991231000000Z
sign elsewhere ca elsewhere.test elsewhere 20250101000000Z 20991231000000Z
sign expired ca 127.0.0.1 loopback 20200101000000Z 20200102000000Z
sign not-yet-valid ca 127.0.0.1 loopback 20980101000000Z 20991231000000Z
)sh";

constexpr const char* kPage = "/cgi-bin/timer.pl";

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new ScratchDirectory("tidewell-tls");
    const test::ChildResult made =
        test::RunChild({"/bin/sh", "-c", std::string(test::kMakeTwoCas) + kMakeServerCertificates},
                       {"DIR=" + certificates_->Path("")}, 60s, "", true);
    ASSERT_EQ(made.exitStatus, 0) << made.standardOutput;
  }
  static void TearDownTestSuite() {
    delete certificates_;
    certificates_ = nullptr;
  }

  TlsTest() {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR"}) {
      environment_.Set(name, std::nullopt);
    }
  }

  static std::string Certificate(const std::string& name) {
    return certificates_->Path(name + ".pem");
  }

  // Serves over TLS with the named certificate until the test ends; gives its https base.
  std::string ServeWith(const std::string& certificate) {
    const std::string portFile = scratch_.Path(certificate + ".port");
    servers_.emplace_back(std::vector<std::string>{"/usr/bin/python3", TIDEWELL_TLS_PAGE_SERVER,
                                                   Certificate(certificate),
                                                   certificates_->Path("server.key"), portFile},
                          test::EnvironmentChanges{}, scratch_.Path(certificate + ".log"));
    for (int i = 0; i < 200 && test::ReadWholeFile(portFile).empty(); ++i) {
      std::this_thread::sleep_for(25ms);
    }
    return "https://127.0.0.1:" + test::ReadWholeFile(portFile);
  }

  struct Download {
    InternetHandle url = 0;
    std::string text;
    std::string failure;
  };

  // The address read to its end through the Linux download, checked against `caFile`.
  static Download DownloadWith(const std::string& caFile, const std::string& address) {
    CurlInternet internet({}, false, caFile);
    const InternetHandle session = internet.OpenSession("VB Project");
    Download download;
    download.url = internet.OpenUrl(session, address);
    char buffer[2048];
    for (std::uint32_t count = 1; count != 0;) {
      count = internet.Read(download.url, buffer, sizeof buffer);
      download.text.append(buffer, count);
    }
    download.failure = internet.Reply(session, download.url).failure;
    internet.Close(session);
    return download;
  }

  static ScratchDirectory* certificates_;
  test::ScopedEnvironment environment_;
  ScratchDirectory scratch_{"tidewell-tls-run"};
  std::list<test::BackgroundProcess> servers_;  // stopped by their ids when the test ends
};

ScratchDirectory* TlsTest::certificates_ = nullptr;

TEST_F(TlsTest, ASoundCertificateFromTheGivenCaGivesThePage) {
  const Download download = DownloadWith(Certificate("ca"), ServeWith("sound") + kPage);
  EXPECT_NE(download.url, 0u);
  EXPECT_NE(download.text.find("12:00:00 Universal"), std::string::npos) << download.failure;
  EXPECT_EQ(download.failure, "");
}

struct CertificateCase {
  const char* certificate;
  const char* reason;  // what the failure says
};

void PrintTo(const CertificateCase& c, std::ostream* out) { *out << c.certificate; }

class UntrustedCertificate : public TlsTest,
                             public ::testing::WithParamInterface<CertificateCase> {};

TEST_P(UntrustedCertificate, FailsWithNothingReadAndSaysWhy) {
  const Download download =
      DownloadWith(Certificate("ca"), ServeWith(GetParam().certificate) + kPage);
  EXPECT_EQ(download.url, 0u);
  EXPECT_EQ(download.text, "");
  EXPECT_NE(download.failure.find(GetParam().reason), std::string::npos) << download.failure;
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, UntrustedCertificate,
    ::testing::Values(CertificateCase{"other-ca", "unable to get local issuer certificate"},
                      CertificateCase{"elsewhere", "target host name"},
                      CertificateCase{"expired", "certificate has expired"},
                      CertificateCase{"not-yet-valid", "certificate is not yet valid"}),
    [](const auto& info) {
      std::string name = info.param.certificate;
      std::erase(name, '-');
      return name;
    });

TEST_F(TlsTest, WithoutACaFileTheSystemsStoreDecides) {
  // The test CA is in no system store.
  const Download download = DownloadWith("", ServeWith("sound") + kPage);
  EXPECT_EQ(download.url, 0u);
  EXPECT_EQ(download.text, "");
  EXPECT_NE(download.failure.find("certificate"), std::string::npos) << download.failure;
}

TEST_F(TlsTest, AnHttpsPageFollowsARedirectToHttps) {
  const Download download = DownloadWith(Certificate("ca"), ServeWith("sound") + "/up");
  EXPECT_NE(download.text.find("12:00:00 Universal"), std::string::npos) << download.failure;
}

TEST_F(TlsTest, AnHttpsPageNeverFollowsARedirectDownToHttp) {
  test::ScriptedHttpServer plain;
  plain.Serve(kPage, test::ScriptedReply::Body("Dec. 07, 12:00:00 Universal Time"));
  const Download download =
      DownloadWith(Certificate("ca"), ServeWith("sound") + "/down?to=" + plain.Url(kPage));
  EXPECT_EQ(download.text.find("Universal"), std::string::npos) << download.text;
  EXPECT_NE(download.failure, "");
  EXPECT_TRUE(plain.Requests().empty()) << "the plain http server was asked";
}

}  // namespace
}  // namespace tidewell
