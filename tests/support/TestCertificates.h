#pragma once

// The start of every shell script with which the tests make certificates with openssl, run in
// the folder $DIR: two CAs (ca.pem and other-ca.pem, with their keys) and server.key, the key of
// the server certificates the rest of the script signs.

namespace tidewell::test {

inline constexpr const char* kMakeTwoCas = R"sh(set -eu
cd "$DIR"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1"; }
key ca.key
key other-ca.key
key server.key
openssl req -x509 -new -key ca.key -out ca.pem -days 2 -subj "/CN=Tidewell Test CA"
openssl req -x509 -new -key other-ca.key -out other-ca.pem -days 2 -subj "/CN=Other Test CA"
)sh";

}  // namespace tidewell::test
